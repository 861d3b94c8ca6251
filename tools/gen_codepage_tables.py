#!/usr/bin/env python3
"""Prints the code page tables of platform/codepage.cpp.

Run it when the tables need regenerating, paste the output between the "generated tables"
markers of platform/codepage.cpp and run clang-format on that file. The mappings come from the
published Windows-1251 and 866 code pages (Python's cp1251 / cp866 codecs); the wire fallbacks
for Windows-1251 characters that 866 lacks are decided here.
"""

# Windows-1251 characters without an 866 twin that still have a readable ASCII neighbour.
# І/і go out as the Latin letters, which is what the register prints for them.
NEIGHBOURS = {
    0xB2: ord('I'), 0xB3: ord('i'),
    0xAB: ord('"'), 0xBB: ord('"'), 0x84: ord('"'), 0x93: ord('"'), 0x94: ord('"'),
    0x91: ord("'"), 0x92: ord("'"), 0x82: ord("'"),
    0x96: ord('-'), 0x97: ord('-'),
    0x85: ord('.'),
}
QUESTION = ord('?')


def decode(byte, codec):
    try:
        return bytes([byte]).decode(codec)
    except UnicodeDecodeError:
        return None


def encode(char, codec):
    if char is None:
        return None
    try:
        return char.encode(codec)[0]
    except UnicodeEncodeError:
        return None


def cp1251_to_cp866():
    out = []
    for b in range(256):
        c = encode(decode(b, 'cp1251'), 'cp866')
        out.append(c if c is not None else NEIGHBOURS.get(b, QUESTION))
    return out


def cp866_to_cp1251():
    out = []
    for b in range(256):
        c = encode(decode(b, 'cp866'), 'cp1251')
        out.append(c if c is not None else QUESTION)
    return out


def cp1251_to_unicode():
    out = []
    for b in range(256):
        c = decode(b, 'cp1251')
        out.append(ord(c) if c is not None else 0xFFFD)
    return out


def print_table(ctype, name, values, fmt, per_line):
    print(f'constexpr {ctype} {name}[{len(values)}] = {{')
    for i in range(0, len(values), per_line):
        row = ', '.join(fmt.format(v) for v in values[i:i + per_line])
        print(f'    {row},')
    print('};')


def main():
    print_table('uint8_t', 'kCp1251ToCp866', cp1251_to_cp866(), '0x{:02X}', 16)
    print()
    print_table('uint8_t', 'kCp866ToCp1251', cp866_to_cp1251(), '0x{:02X}', 16)
    print()
    uni = cp1251_to_unicode()
    print_table('char16_t', 'kCp1251ToUnicode', uni, '0x{:04X}', 8)
    print()
    # Reverse map of the upper half, sorted by code point for binary search.
    pairs = sorted((u, b) for b, u in enumerate(uni) if b >= 0x80 and u != 0xFFFD)
    print('struct UnicodeToByte {\n    char16_t unicode;\n    uint8_t byte;\n};')
    print(f'constexpr UnicodeToByte kUnicodeToCp1251[{len(pairs)}] = {{')
    for i in range(0, len(pairs), 6):
        row = ', '.join(f'{{0x{u:04X}, 0x{b:02X}}}' for u, b in pairs[i:i + 6])
        print(f'    {row},')
    print('};')


if __name__ == '__main__':
    main()
