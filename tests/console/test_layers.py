"""The console's packages import downward only: terminal, dispatcher, console words, session and
gateway link, candle cache and stores, command profiles, output. No import circle anywhere."""

from __future__ import annotations

import ast
from pathlib import Path

import corvane

CONSOLE = Path(corvane.__file__).resolve().parents[1]
PACKAGES = ("corvane", "ferrut")

#: Module name prefixes by layer, top first; the longest matching prefix decides.
LAYERS: list[tuple[str, ...]] = [
    (
        "corvane.cli",
        "corvane.__main__",
        "corvane.shell",
        "corvane.completion",
        "corvane.prompt_output",
        "corvane.api",
        "corvane.owner",
        "corvane.attach",
        "corvane.command_line",
        "corvane.startup",
    ),
    ("corvane.console",),
    ("corvane.words",),
    (
        "corvane.session",
        "corvane.state",
        "corvane.gateway",
        "corvane.live_quotes",
        "corvane.commands",
        "corvane.bar_views",
        "corvane.help_catalog",
        "corvane.cmds",
        "corvane.helpers",
        "corvane.history",
    ),
    (
        "corvane.candles",
        "corvane.kvstore",
        "corvane.store_file",
        "corvane.candles.cache",
        "corvane.history.store",
        "corvane.history.store_files",
    ),
    ("corvane.profiles",),
    (
        "corvane.logsetup",
        "corvane.last_result",
        "corvane.summary",
        "corvane.quote_table",
        "corvane.view_options",
        "ferrut",
    ),
    (
        "corvane.exit_status",
        "corvane.clock",
        "corvane.owner_wire",
        "corvane.home",
        "corvane.durable_files",
        "corvane.command_table",
        "corvane",
    ),
]


def _layer(module: str) -> int:
    best, depth = len(LAYERS), -1
    for n, prefixes in enumerate(LAYERS):
        for prefix in prefixes:
            if (module == prefix or module.startswith(prefix + ".")) and len(prefix) > depth:
                best, depth = n, len(prefix)
    return best


def _modules() -> dict[str, Path]:
    found = {}
    for package in PACKAGES:
        for path in (CONSOLE / package).rglob("*.py"):
            parts = list(path.relative_to(CONSOLE).with_suffix("").parts)
            if parts[-1] == "__init__":
                parts.pop()
            found[".".join(parts)] = path
    return found


def _imports(module: str, path: Path, known: set[str]) -> set[str]:
    """Our modules that ``module`` imports, at the top or inside a function."""
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    out: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text())):
        names: list[str] = []
        if isinstance(node, ast.Import):
            names = [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(
                    package.split(".")[: len(package.split(".")) - node.level + 1] + ([base] if base else [])
                )
            names = [f"{base}.{a.name}" for a in node.names] + [base]
        for name in names:
            while name and name not in known:
                name = name.rpartition(".")[0]
            if name and name != module and not module.startswith(name + "."):
                out.add(name)
    return out


def _table_strings(tree: ast.Module) -> dict[str | None, set[str]]:
    """The strings in the module's tables (literals and calls bound at the top), by the keyword
    they are given as (``Shipped(module="...")``); under None, all of them."""
    found: dict[str | None, set[str]] = {None: set()}
    for stmt in tree.body:
        value = stmt.value if isinstance(stmt, (ast.Assign, ast.AnnAssign)) else None
        if not isinstance(value, (ast.Dict, ast.List, ast.Tuple, ast.Set, ast.Call)):
            continue
        for node in ast.walk(value):
            for kw in node.keywords if isinstance(node, ast.Call) else []:
                if isinstance(kw.value, ast.Constant) and isinstance(kw.value.value, str):
                    found.setdefault(kw.arg, set()).add(kw.value.value)
            if isinstance(node, ast.Constant) and isinstance(node.value, str):
                found[None].add(node.value)
    return found


def _loaded_by_name(
    module: str, tree: ast.Module, imports: set[str], trees: dict[str, ast.Module], known: set[str]
) -> set[str]:
    """Our modules that ``module`` hands to ``importlib.import_module``: a literal name, or the
    entries of a table (its own or one it imports) that the argument is read from.

    A package's own ``__getattr__`` (its lazy attributes) is left out: it runs only when asked."""
    skip = {id(n) for f in tree.body if isinstance(f, ast.FunctionDef) and f.name == "__getattr__" for n in ast.walk(f)}
    bound = {
        t.id: stmt.value
        for stmt in tree.body
        if isinstance(stmt, ast.Assign)
        for t in stmt.targets
        if isinstance(t, ast.Name)
    }
    out: set[str] = set()
    for node in ast.walk(tree):
        if id(node) in skip or not (isinstance(node, ast.Call) and node.args):
            continue
        func = node.func
        if not (isinstance(func, ast.Attribute) and func.attr == "import_module"):
            continue
        arg = node.args[0]
        if isinstance(arg, ast.Constant):
            out.add(str(arg.value))
            continue
        if isinstance(arg, ast.Name) and arg.id in bound:
            arg = bound[arg.id]  # MODULE = TABLE["word"].module
        key = arg.attr if isinstance(arg, ast.Attribute) else None
        for source in [module, *imports]:
            if source in trees:
                out |= _table_strings(trees[source]).get(key, set())
    return {name for name in out if name in known and name != module}


def _native_modules() -> set[str]:
    """The command modules built from C++, known by their stubs."""
    return {".".join(p.relative_to(CONSOLE).with_suffix("").parts) for p in (CONSOLE / "corvane").rglob("*.pyi")}


def test_imports_run_downward_and_never_in_a_circle():
    modules = _modules()
    known = set(modules) | _native_modules()
    trees = {m: ast.parse(p.read_text()) for m, p in modules.items()}
    graph = {m: _imports(m, p, set(modules)) for m, p in modules.items()}
    # Modules loaded by name count for the layers, not for circles: a table names the modules it
    # loads on first use, and one of them may well list the table's words (help does).
    by_name = {m: _loaded_by_name(m, trees[m], graph[m], trees, known) for m in modules}
    upward = sorted(f"{m} -> {d}" for m in modules for d in graph[m] | by_name[m] if _layer(d) < _layer(m))
    assert upward == []

    # Tarjan's strongly connected components: any of more than one module is a circle.
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    circles: list[list[str]] = []

    def visit(m: str) -> None:
        index[m] = low[m] = len(index)
        stack.append(m)
        for d in graph[m]:
            if d not in index:
                visit(d)
                low[m] = min(low[m], low[d])
            elif d in stack:
                low[m] = min(low[m], index[d])
        if low[m] == index[m]:
            component = []
            while True:
                top = stack.pop()
                component.append(top)
                if top == m:
                    break
            if len(component) > 1:
                circles.append(sorted(component))

    for m in graph:
        if m not in index:
            visit(m)
    assert circles == []


def test_the_history_layer_neither_draws_nor_reaches_up_to_the_owner_or_terminal():
    """A download reports its progress to whoever called it; only the terminal side draws."""
    modules = _modules()
    banned = ("ferrut.status_line", "corvane.owner", "corvane.owner_wire", "corvane.cli", "corvane.attach")
    found = sorted(
        f"{m} -> {d}"
        for m, p in modules.items()
        if m.startswith("corvane.history")
        for d in _imports(m, p, set(modules))
        if d.startswith(banned)
    )
    assert found == []


#: What lives in the home; only ``corvane.home`` may name it, so its layout is written once.
HOME_NAMES = {
    "owner.sock",
    "owner.lock",
    "pacing.ledger",
    "candles.sqlite",
    "store.json",
    "commands.json",
    ".corvane",
    "CORVANE_HOME",
}
HOME_DIRS = {"bars", "history"}


def test_only_the_home_module_names_the_files_under_the_home():
    def joins_a_home_name(node: ast.AST) -> bool:
        if isinstance(node, ast.Constant) and node.value in HOME_NAMES:
            return True
        if isinstance(node, ast.JoinedStr):  # f".download-{...}.parquet"
            first = node.values[0] if node.values else None
            return isinstance(first, ast.Constant) and str(first.value).startswith(".download-")
        right = node.right if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Div) else None
        return isinstance(right, ast.Constant) and right.value in HOME_DIRS

    found = sorted(
        f"{m}:{node.lineno}"
        for m, p in _modules().items()
        if m != "corvane.home"
        for node in ast.walk(ast.parse(p.read_text()))
        if joins_a_home_name(node)
    )
    assert found == []


def _exit_numbers(tree: ast.Module) -> list[str]:
    """Where a module spells an exit status as a number instead of an ``ExitStatus``: returned from
    a function that ends a line or a program, compared with a status, handed to an exit, or kept
    under a status's own name."""
    def is_number(node: ast.AST | None) -> bool:
        return isinstance(node, ast.Constant) and type(node.value) is int

    def names_status(node: ast.AST) -> bool:
        return "status" in ast.unparse(node).lower()

    found = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            returns = [n for n in ast.walk(node) if isinstance(n, ast.Return)]
            ends_lines = ("ExitStatus" in ast.unparse(node.returns) if node.returns else False) or any(
                isinstance(r.value, ast.Attribute) and ast.unparse(r.value).startswith("ExitStatus.") for r in returns)
            found += [f"{node.name}: return {ast.unparse(r.value)}" for r in returns
                      if (ends_lines or node.name == "main") and is_number(r.value)]
        elif isinstance(node, ast.Compare) and names_status(node):
            found += [f"compares {ast.unparse(node)}" for side in [node.left, *node.comparators] if is_number(side)]
        elif isinstance(node, ast.Call) and ast.unparse(node.func) in ("SystemExit", "sys.exit", "os._exit", "exit"):
            found += [f"exits {ast.unparse(node)}" for arg in node.args if is_number(arg)]
    for stmt in tree.body:
        if isinstance(stmt, ast.Assign) and is_number(stmt.value):
            found += [f"{t.id} = {ast.unparse(stmt.value)}" for t in stmt.targets
                      if isinstance(t, ast.Name) and (t.id in ("OK", "FAILED", "BAD_WORDS", "INTERRUPTED")
                                                       or "STATUS" in t.id)]
    return found


def test_only_the_exit_status_module_spells_an_exit_status_as_a_number():
    spelled = {m: _exit_numbers(ast.parse(p.read_text())) for m, p in _modules().items()
               if m != "corvane.exit_status"}
    assert {m: where for m, where in spelled.items() if where} == {}
    # The scan itself: each way of spelling one is seen.
    old = ast.parse("FAILED = 1\ndef main() -> int:\n    return 0\n"
                    "def run() -> ExitStatus:\n    if status == 130:\n        raise SystemExit(2)\n    return 1\n")
    assert len(_exit_numbers(old)) == 5
