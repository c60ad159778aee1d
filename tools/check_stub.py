"""Checks the type stub against the function table.

Usage: check_stub.py SIGNATURE_PRINTER STUB. The printer gives the table's
rows as "name(param: Annotation, ...) -> Result"; the stub must declare the
same functions in the same order, in __all__ too, with those parameters and
annotations. Exits 1 with a diff otherwise.
"""

import ast
import difflib
import subprocess
import sys


def declared(stub_path):
    tree = ast.parse(open(stub_path, encoding="utf-8").read())
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    signatures = [
        f"{f.name}({', '.join(f'{a.arg}: {ast.unparse(a.annotation)}' for a in f.args.args)})"
        f" -> {ast.unparse(f.returns)}"
        for f in functions
    ]
    exported = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets)
    )
    return signatures, exported


def main(printer, stub_path):
    rows = subprocess.run([printer], capture_output=True, text=True, check=True).stdout.splitlines()
    signatures, exported = declared(stub_path)
    names = [row.split("(", 1)[0] for row in rows]
    if signatures == rows and exported == names:
        return 0
    sys.stderr.write(f"{stub_path} does not declare the function table:\n")
    sys.stderr.writelines(difflib.unified_diff(
        [line + "\n" for line in rows], [line + "\n" for line in signatures], "table", "stub"))
    if exported != names:
        sys.stderr.write(f"__all__ is {exported}, the table's order is {names}\n")
    return 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
