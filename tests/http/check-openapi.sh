#!/bin/sh
# The HTTP API's document passes the OpenAPI 3.1 validator, and the validator is no rubber
# stamp: copies broken as a careless edit would break them are refused.
# Further documents (the one with the drafts of routes to come) need only pass.
#   check-openapi.sh VALIDATOR DOCUMENT [DOCUMENT...]
validator=$1 doc=$2
if [ ! -x "$validator" ]; then
  echo "check-openapi: no validator (./vsk build installs it into ~/.cache/vskmanager/npm)"
  exit 1
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
shift
for each in "$@"; do
  if ! "$validator" "$each" > "$scratch/out" 2>&1; then
    cat "$scratch/out"
    echo "check-openapi: $each is not a valid OpenAPI document"
    exit 1
  fi
done
node - "$doc" "$scratch" <<'JS' || exit 1
const fs = require("fs");
const [doc, dir] = process.argv.slice(2);
const breakages = {
  "a reference to a schema that does not exist": (d) => {
    d.components.schemas.Error.properties.error.properties.code.$ref = "#/components/schemas/NoSuch";
  },
  "a response without its description": (d) => {
    delete d.paths["/metrics"].get.responses["200"].description;
  },
  "a parameter in the body, as the old version had them": (d) => {
    d.components.parameters.Port.in = "body";
  },
};
for (const [what, edit] of Object.entries(breakages)) {
  const d = JSON.parse(fs.readFileSync(doc, "utf8"));
  edit(d);
  fs.writeFileSync(`${dir}/${Object.keys(breakages).indexOf(what)}.json`, JSON.stringify(d));
}
fs.writeFileSync(`${dir}/names`, Object.keys(breakages).join("\n") + "\n");
JS
i=0
while read -r what; do
  if "$validator" "$scratch/$i.json" > "$scratch/out" 2>&1; then
    echo "check-openapi: the validator passed a document with $what"
    exit 1
  fi
  i=$((i + 1))
done < "$scratch/names"
echo "check-openapi: $doc is valid; $i broken copies were refused"
