#!/usr/bin/env python3
"""Fails when the code leaves the layering the README's layout table states.

Each row of the table names a folder, the CMake targets it builds and the folders it uses.
A folder may include headers of, and link targets of, only itself and what it uses (directly or
through what those use). Both are read from the sources, so a new dependency has to be written
into the table before it builds quietly."""
import os
import re
import sys

root = sys.argv[1] if len(sys.argv) > 1 else '.'
readme = open(os.path.join(root, 'README.md'), encoding='utf-8').read()

uses, targets = {}, {}
for m in re.finditer(r'^\| `(\w+)/` \|[^|]*\| ([^|]*)\| ([^|]*)\|\s*$', readme, re.M):
    folder = m.group(1)
    if not re.search(r'`[\w-]+`', m.group(2)):
        continue  # tools, tests, benchmarks: they may reach into every folder
    targets[folder] = set(re.findall(r'`([\w-]+)`', m.group(2)))
    uses[folder] = {u.strip() for u in m.group(3).split(',') if u.strip() not in ('', '—')}
if not uses:
    sys.exit('check-layout: no layout table with a "Uses" column in README.md')

problems = []
for folder, used in uses.items():
    for u in used:
        if u not in uses and u not in ('tools', 'tests', 'bench'):
            problems.append(f'README: {folder}/ uses {u}/, which has no row')


def closure(folder):
    seen, todo = {folder}, [folder]
    while todo:
        for u in uses.get(todo.pop(), ()):
            if u not in seen:
                seen.add(u)
                todo.append(u)
    return seen


owner = {t: f for f, ts in targets.items() for t in ts}
include = re.compile(r'^\s*#\s*include\s+"(\w+)/', re.M)
link = re.compile(r'target_link_libraries\(\s*([\w-]+)\s+([^)]*)\)')
for folder in uses:
    allowed = closure(folder)
    path = os.path.join(root, folder)
    if not os.path.isdir(path):
        problems.append(f'README: {folder}/ does not exist')
        continue
    for dirpath, _, names in os.walk(path):
        for name in sorted(names):
            file = os.path.join(dirpath, name)
            rel = os.path.relpath(file, root)
            if name.endswith(('.cpp', '.h', '.def')):
                for m in include.finditer(open(file, encoding='utf-8', errors='replace').read()):
                    if m.group(1) in uses and m.group(1) not in allowed:
                        problems.append(f'{rel}: includes {m.group(1)}/, not among what '
                                        f'{folder}/ uses')
            elif name == 'CMakeLists.txt':
                text = open(file, encoding='utf-8').read()
                for m in link.finditer(text):
                    if m.group(1) not in targets[folder]:
                        problems.append(f'{rel}: target {m.group(1)} is not in the README row')
                    for lib in m.group(2).split():
                        if lib in owner and owner[lib] not in allowed:
                            problems.append(f'{rel}: {m.group(1)} links {lib} of '
                                            f'{owner[lib]}/, not among what {folder}/ uses')

for p in problems:
    print(p)
sys.exit(1 if problems else 0)
