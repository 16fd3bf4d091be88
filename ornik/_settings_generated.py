"""What the settings' declaration generates: the estimators' ``__init__`` and their
"Parameters" docs, the command line's list of settings, and the README's settings table
(``python -m ornik._settings_generated`` prints it)."""

from __future__ import annotations

import textwrap

from ._settings import SETTINGS, TASKS, settings_for


def make_init(task: str, module: str):
    """Build an ``__init__`` with one keyword-only argument per setting.

    scikit-learn reads the parameter names from the signature, so the function is
    generated with a real signature rather than taking ``**kwargs``.
    """
    settings = settings_for(task)
    args = ", ".join(f"{s.name}=_defaults[{s.name!r}]" for s in settings)
    body = "\n".join(f"    self.{s.name} = {s.name}" for s in settings)
    namespace = {"__name__": module, "_defaults": {s.name: s.default_for(task) for s in settings}}
    exec(f"def __init__(self, *, {args}):\n{body}\n", namespace)  # noqa: S102
    return namespace["__init__"]


def settings_doc(task: str) -> str:
    """The numpydoc "Parameters" section of an estimator."""
    lines = ["Parameters", "----------"]
    for s in settings_for(task):
        lines.append(f"{s.name} : {s.type_text()}, default={s.default_for(task)!r}")
        text = f"{s.meaning[0].upper()}{s.meaning[1:]}. Allowed: {s.allowed(task)}."
        lines += textwrap.wrap(text, 76, initial_indent="    ", subsequent_indent="    ")
    return "\n".join(lines)


def settings_help() -> str:
    """The settings as ``ornik fit --help`` lists them: name=default and the meaning."""
    lines = []
    for s in SETTINGS:
        defaults = dict.fromkeys(f"{s.default_for(t)}" for t in s.tasks)
        default = " / ".join(defaults)
        if len(defaults) > 1:
            default += f" ({' / '.join(s.tasks)})"
        elif s.tasks != TASKS:
            default += f" ({s.tasks[0]} only)"
        lines.append(f"  {s.name}={default}")
        lines += textwrap.wrap(s.meaning, 76, initial_indent="      ", subsequent_indent="      ")
    return "\n".join(lines)


def settings_table() -> str:
    """The README's settings table, in Markdown."""
    rows = ["| setting | default | allowed | meaning |", "|---|---|---|---|"]
    for s in SETTINGS:
        defaults = " / ".join(dict.fromkeys(f"`{s.default_for(t)!r}`" for t in s.tasks))
        if isinstance(s.choices, dict):
            allowed = "; ".join(f"{t}: {s.allowed(t)}" for t in s.tasks)
        else:
            allowed = s.allowed(s.tasks[0])
        if s.tasks != TASKS:
            allowed = f"{s.tasks[0]} only: {allowed}"
        rows.append(f"| `{s.name}` | {defaults} | {allowed} | {s.meaning} |")
    return "\n".join(rows)


if __name__ == "__main__":
    print(settings_table())
