#!/usr/bin/env python3
"""Writes the type stubs python/tarvik/_core.pyi from the built module and
tools/stub_docs.py.

The module gives the names (in the order of __all__) and every signature
(inspect.signature, from the rows of python/src/functions.cpp); stub_docs.py
gives the documentation, that of a scalar function and its batch twin written
once. A parameter's type follows from its function's kind and its name:

    scalar function   is_call: bool, every other parameter float; -> float
    batch function    is_call: BoolOrArray, parallel: bool, every other
                      parameter FloatOrArray; -> FloatArray (a *_greeks
                      function: the TypedDict its entry names)
    other             the annotations its entry gives

Usage, against a build (tools/dev-build.sh lays it out in build/pkg):

    PYTHONPATH=build/pkg python3 tools/gen_stubs.py           # rewrite the stub
    PYTHONPATH=build/pkg python3 tools/gen_stubs.py --check   # diff, exit 1 if stale

tests/test_module.py runs --check, so a function added to the module without
its documentation entry, or a stub edited by hand, fails the tests.
"""

import argparse
import difflib
import inspect
import os
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = os.path.join(os.path.dirname(HERE), "python", "tarvik", "_core.pyi")
WIDTH = 92  # of a docstring's prose lines, indentation included

sys.path.insert(0, HERE)
import stub_docs  # noqa: E402

SCALAR_TYPE_ERROR = "An argument of the wrong type, e.g. a string for a number."
NEVER_REJECTED = "An argument of the wrong type; no value is ever rejected."


class StubError(Exception):
    """The module and the documentation do not match."""


def fill(text, indent):
    """Prose re-wrapped at WIDTH, paragraph by paragraph."""
    paragraphs = [" ".join(p.split()) for p in textwrap.dedent(text).strip().split("\n\n")]
    return "\n\n".join(textwrap.fill(p, WIDTH, initial_indent=indent, subsequent_indent=indent,
                                     break_on_hyphens=False, break_long_words=False)
                       for p in paragraphs)


def docstring(summary, body, params, returns, raises, example):
    """A NumPy-style docstring, indented for a function body."""
    parts = ["    " + summary.strip()]
    if body:
        parts.append(fill(body, "    "))
    for title, items in (("Parameters", params), ("Returns", returns), ("Raises", raises)):
        if not items:
            continue
        lines = [f"    {title}", "    " + "-" * len(title)]
        for head, text in items:
            lines.append("    " + head)
            if text:
                lines.append(fill(text, "        "))
        parts.append("\n".join(lines))
    example = textwrap.dedent(example).strip("\n")
    parts.append("    Examples\n    --------\n" + textwrap.indent(example, "    "))
    text = "\n\n".join(parts)[4:].replace("\\", "\\\\")  # the stub's literal is not raw
    return '    """' + text + '\n    """\n'


def describe(entry, name):
    """A scalar parameter's description: the entry's own, else PARAMS'."""
    table = {**stub_docs.PARAMS, **entry.get("params", {})}
    if name not in table:
        raise StubError(f"{entry['name']}: no description of the parameter {name}")
    return table[name]


def default_suffix(p):
    return "" if p.default is inspect.Parameter.empty else f", default {p.default!r}"


def signature(name, sig, annotate, returns):
    """The def line: the module's parameters with annotations."""
    out, slash, star_seen = [], False, False
    for p in sig.parameters.values():
        if slash and p.kind is not inspect.Parameter.POSITIONAL_ONLY:
            out.append("/")
            slash = False
        if p.kind is inspect.Parameter.KEYWORD_ONLY and not star_seen:
            out.append("*")
        star_seen = star_seen or p.kind in (inspect.Parameter.KEYWORD_ONLY,
                                            inspect.Parameter.VAR_POSITIONAL)
        star = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}.get(p.kind, "")
        text = f"{star}{p.name}: {annotate(p.name)}"
        if p.default is not inspect.Parameter.empty:
            text += f" = {p.default!r}"
        out.append(text)
        slash = p.kind is inspect.Parameter.POSITIONAL_ONLY
    if slash:
        out.append("/")
    return f"def {name}({', '.join(out)}) -> {returns}:\n"


SCHEDULE = ("dividend_times", "dividend_amounts")


def scalar_stub(entry, sig):
    def annotate(p):
        return "bool" if p == "is_call" else "Schedule" if p in SCHEDULE else "float"
    params = [(f"{p} : {'list or 1-D float64 array' if p in SCHEDULE else annotate(p)}",
               describe(entry, p)) for p in sig.parameters]
    raises = ([("IVError", entry["raises"]), ("TypeError", SCALAR_TYPE_ERROR)] if entry.get("raises")
              else [("TypeError", NEVER_REJECTED)])
    return signature(entry["name"], sig, annotate, "float") + docstring(
        entry["summary"], entry.get("body"), params, [("float", entry["returns"])], raises,
        entry["example"])


def batch_annotation(p):
    return {"is_call": "BoolOrArray", "parallel": "bool", **dict.fromkeys(SCHEDULE, "Schedule")
            }.get(p, "FloatOrArray")


def batch_params(name, sig, scalar, scalar_sig):
    """A batch's parameters: its value inputs are those of the scalar function
    `scalar` (paired by position), then is_call and parallel as the batch rule
    of the module docstring has them."""
    values = [p for p in sig.parameters if p not in ("is_call", "parallel") + SCHEDULE]
    singular = [p for p in scalar_sig.parameters if p not in ("is_call",) + SCHEDULE]
    if len(singular) != len(values) or ("is_call" in sig.parameters) != ("is_call" in scalar_sig.parameters):
        raise StubError(f"{name}: its inputs are not those of {scalar}")
    words = singular[0] if len(singular) == 1 else ", ".join(singular[:-1]) + " and " + singular[-1]
    out = [(", ".join(values) + " : float or 1-D float64 array",
            f"The {words} of ``{scalar}``: one for every element, or one per element.")]
    if "is_call" in sig.parameters:
        out.append((f"is_call : bool or 1-D bool array{default_suffix(sig.parameters['is_call'])}",
                    "True for calls, False for puts: one for every element, or one per element."))
    if "parallel" in sig.parameters:
        out.append((f"parallel : bool{default_suffix(sig.parameters['parallel'])}",
                    "Compute on the process's worker pool; the result has the same bits."))
    if "dividend_times" in sig.parameters:
        out.append(("dividend_times, dividend_amounts : list or 1-D float64 array",
                    "The dividend schedule of ``" + scalar + "``, one for the whole batch (not "
                    "broadcast: one element per dividend); a bad one raises IVError "
                    "``invalid_input`` for the call."))
    return out


def twin_stub(entry, sig, scalar_sig):
    name, scalar, values = entry["batch"], entry["name"], entry["values"]
    returns = (f"A new 1-D float64 array: {values}, NaN where ``{scalar}`` raises (``error_codes`` "
               "says why)." if entry.get("raises") else f"A new 1-D float64 array: {values}.")
    return signature(name, sig, batch_annotation, "FloatArray") + docstring(
        f"Batch {scalar}: {values}, element by element.", entry.get("batch_body"),
        batch_params(name, sig, scalar, scalar_sig), [("numpy.ndarray", returns)], [],
        entry["batch_example"])


def greeks_stub(core, entry, sig):
    kind, like = entry["returns_type"], entry["inputs_of"]
    params = batch_params(entry["name"], sig, like, inspect.signature(getattr(core, like)))
    return signature(entry["name"], sig, batch_annotation, kind) + docstring(
        entry["summary"], entry.get("body"), params, [(kind, entry["returns"])], [], entry["example"])


def own_stub(entry, sig):
    annotations = entry["annotations"]
    if set(annotations) != set(sig.parameters):
        raise StubError(f"{entry['name']}: annotations {sorted(annotations)} for the parameters "
                        f"{list(sig.parameters)}")
    return signature(entry["name"], sig, annotations.get, entry["returns_annotation"]) + docstring(
        entry["summary"], entry.get("body"), list(entry["params"].items()),
        [(entry["returns_type"], entry["returns"])], list(entry["raises"].items()), entry["example"])


def generate(core):
    """The stub's text for the module `core`."""
    stubs = {}
    for entry in stub_docs.DOCS:
        name, kind = entry["name"], entry.get("kind", "scalar")
        if not callable(getattr(core, name, None)):
            raise StubError(f"{name} is documented but the module has no such function")
        sig = inspect.signature(getattr(core, name))
        if kind == "scalar":
            stubs[name] = scalar_stub(entry, sig)
            if "batch" in entry:
                batch = getattr(core, entry["batch"], None)
                if batch is None:
                    raise StubError(f"{entry['batch']} is documented but the module has no such function")
                stubs[entry["batch"]] = twin_stub(entry, inspect.signature(batch), sig)
        elif kind == "greeks":
            stubs[name] = greeks_stub(core, entry, sig)
        else:
            stubs[name] = own_stub(entry, sig)
    private = sorted(n for n in vars(core) if n.startswith("_") and not n.startswith("__")
                     and callable(getattr(core, n)))
    parts = ["# Generated by tools/gen_stubs.py from the built module and tools/stub_docs.py:\n"
             "# edit those, then regenerate.\n" + stub_docs.PREAMBLE,
             "__all__ = [\n" + "".join(f'    "{n}",\n' for n in core.__all__) + "]\n"]
    for name in list(core.__all__) + private:
        if name in stub_docs.ATTRIBUTES:
            parts.append(stub_docs.ATTRIBUTES[name])
        elif name in stubs:
            parts.append(stubs.pop(name))
        else:
            raise StubError(f"{name}: the module has it, tools/stub_docs.py does not document it")
    if stubs:
        raise StubError(f"documented but not in __all__: {sorted(stubs)}")
    return "\n".join(parts)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="exit 1 with a diff if the stub differs from what would be written")
    args = parser.parse_args(argv)
    import tarvik._core as core
    try:
        text = generate(core)
    except StubError as e:
        print(f"gen_stubs: {e}", file=sys.stderr)
        return 2
    with open(STUB, encoding="utf-8") as fh:
        present = fh.read()
    if args.check:
        if present == text:
            return 0
        sys.stdout.writelines(difflib.unified_diff(
            present.splitlines(True), text.splitlines(True), "python/tarvik/_core.pyi (committed)",
            "python/tarvik/_core.pyi (generated)"))
        print("gen_stubs: the stub is stale; run tools/gen_stubs.py against a fresh build",
              file=sys.stderr)
        return 1
    if present != text:
        with open(STUB, "w", encoding="utf-8") as fh:
            fh.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
