import ast
import pathlib

import vocam


def test_stubs_name_what_the_module_has():
    tree = ast.parse((pathlib.Path(vocam.__file__).parent / "__init__.pyi").read_text())
    functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name: {n.name if hasattr(n, "name") else n.target.id for n in node.body
                           if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
               for node in tree.body if isinstance(node, ast.ClassDef)}
    assert functions | set(classes) == set(vocam.__all__)
    for name, members in classes.items():
        obj = getattr(vocam, name)
        if isinstance(obj, type) and name != "Error":
            public = {m for m in vars(obj) if not m.startswith("_")}
            assert public == {m for m in members if not m.startswith("_")}, name
            assert obj.__doc__
    assert all(getattr(vocam, f).__doc__ for f in ("init", "cameras", "open", "simulate"))
