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
    ("corvane.cli", "corvane.__main__", "corvane.shell", "corvane.completion", "corvane.prompt_output",
     "corvane.api", "corvane.owner", "corvane.attach", "corvane.command_line"),
    ("corvane.console",),
    ("corvane.words",),
    ("corvane.session", "corvane.state", "corvane.gateway", "corvane.live_quotes", "corvane.commands",
     "corvane.bar_views",
     "corvane.help_catalog", "corvane.cmds", "corvane.helpers", "corvane.history"),
    ("corvane.candles", "corvane.kvstore", "corvane.store_file", "corvane.candles.cache", "corvane.history.store",
     "corvane.history.store_files"),
    ("corvane.profiles",),
    ("corvane.logsetup", "corvane.last_result", "corvane.summary", "corvane.quote_table",
     "corvane.view_options", "ferrut"),
    ("corvane.exit_status", "corvane.clock", "corvane.owner_wire", "corvane.durable_files", "corvane"),
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
                base = ".".join(package.split(".")[: len(package.split(".")) - node.level + 1]
                                + ([base] if base else []))
            names = [f"{base}.{a.name}" for a in node.names] + [base]
        for name in names:
            while name and name not in known:
                name = name.rpartition(".")[0]
            if name and name != module and not module.startswith(name + "."):
                out.add(name)
    return out


def test_imports_run_downward_and_never_in_a_circle():
    modules = _modules()
    graph = {m: _imports(m, p, set(modules)) for m, p in modules.items()}
    upward = sorted(f"{m} -> {d}" for m, deps in graph.items() for d in deps if _layer(d) < _layer(m))
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
