"""The API's OpenAPI document against the published OpenAPI 3.0 schema, and every reference in it
resolving. Arguments: the program that prints the document, the schema file."""
import json
import subprocess
import sys

import jsonschema


def references(node):
    if isinstance(node, dict):
        for key, value in node.items():
            if key == "$ref":
                yield value
            else:
                yield from references(value)
    elif isinstance(node, list):
        for item in node:
            yield from references(item)


def main():
    printer, schema_file = sys.argv[1], sys.argv[2]
    document = json.loads(subprocess.run([printer], check=True, capture_output=True, text=True).stdout)
    with open(schema_file, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft4Validator.check_schema(schema)
    errors = sorted(jsonschema.Draft4Validator(schema).iter_errors(document), key=lambda e: list(e.path))
    for error in errors:
        print("invalid at", "/".join(str(p) for p in error.path), ":", error.message)
    schemas = document.get("components", {}).get("schemas", {})
    dangling = [r for r in references(document) if r.split("/")[-1] not in schemas]
    for ref in dangling:
        print("unresolved reference:", ref)
    if not document.get("paths"):
        print("no paths")
    # A feed entry that withdraws a folded swipe says so in a documented member.
    withdrawn = schemas.get("Swipe", {}).get("properties", {}).get("withdrawn", {})
    if withdrawn.get("type") != "boolean":
        print("the Swipe schema does not document 'withdrawn' as a boolean")
    return 1 if errors or dangling or not document.get("paths") or withdrawn.get("type") != "boolean" else 0


if __name__ == "__main__":
    sys.exit(main())
