"""Prints the test-case classes of an end-to-end test file, one per line:
the classes that define test methods themselves or inherit them. CMake
registers each as a test of its own, so that the classes run in parallel."""
import ast
import sys


def cases(path):
    tree = ast.parse(open(path, encoding="utf-8").read(), path)
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}

    def has_tests(node, seen=()):
        if any(isinstance(b, ast.FunctionDef) and b.name.startswith("test") for b in node.body):
            return True
        return any(isinstance(base, ast.Name) and base.id in classes and base.id not in seen
                   and has_tests(classes[base.id], seen + (node.name,)) for base in node.bases)

    return [name for name, node in classes.items() if has_tests(node)]


if __name__ == "__main__":
    print("\n".join(cases(sys.argv[1])))
