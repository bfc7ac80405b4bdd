"""Sphinx configuration of the aerlox documentation site (`make docs`).

The API reference is read from the installed package's docstrings and
signatures (autodoc); the gallery runs the scripts in examples/ and shows what
they print and draw (sphinx-gallery). AERLOX_DOCS_GALLERY=quick runs only the
quick examples (the others are shown without their output).
"""
import os
import re
import pathlib
import sys

import aerlox

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # _gallery_argv

project = "aerlox"
author = "the aerlox developers"
copyright = "the aerlox developers"
release = version = aerlox.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.viewcode",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip",
                    "auto_examples/*.md5", "auto_examples/*.json", "sg_execution_times.rst"]

html_theme = "furo"
html_title = f"aerlox {release}"
html_static_path = []

# Docstrings are written in the NumPy style.
napoleon_numpy_docstring = True
napoleon_google_docstring = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_class_signature = "mixed"

myst_heading_anchors = 3

# Quick examples take a second or two each; the vortex-particle ones and the
# tour tens of seconds on a busy machine. The Dask example starts a cluster of
# worker processes and is shown, not run.
QUICK = ["hover_sweep", "pitt_peters_step", "forward_flight_trim"]
FULL = QUICK + ["oye_transient", "vpm_hover_from_rest", "vpm_wake", "demo"]
run = QUICK if os.environ.get("AERLOX_DOCS_GALLERY", "full") == "quick" else FULL


sphinx_gallery_conf = {
    "examples_dirs": str(HERE.parent / "examples"),
    "gallery_dirs": str(HERE / "auto_examples"),
    "filename_pattern": r"/(" + "|".join(run) + r")\.py$",
    "ignore_pattern": r"__init__\.py",
    "reset_argv": "_gallery_argv.example_argv",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    "show_memory": False,
    "write_computation_times": False,
    "plot_gallery": "True",
    # The figures are shown as images; their reprs add nothing.
    "capture_repr": (),
}

# The package's docstrings describe each parameter and attribute as
# ``name : what it is, with its unit`` (continued on indented lines), where the
# NumPy style would put a type after the colon. Before napoleon reads them,
# such lines become ``name`` with the text as its description; a line whose
# text is a type (``float``, ``str, optional``, ``(float, float)``, ``iterable of str or mapping``)
# stays as it is.
_FIELD = re.compile(r"^(\s*)([A-Za-z_]\w*(?:, [A-Za-z_]\w*)*) : (.+)$")
_TYPE = re.compile(r"^(?:\([\w., ]+\)|[\w.]+)(?: (?:or|of) [\w.]+)*(?: object)?(?:, optional)?$")


def _paragraphs_out_of_sections(lines):
    """A paragraph closing a Parameters section (``Immutable, ...``) would read as
    one more parameter: move it in front of the section's heading."""
    out, i = [], 0
    while i < len(lines):
        is_heading = (i + 1 < len(lines) and lines[i].strip() in ("Parameters", "Attributes")
                      and set(lines[i + 1].strip()) == {"-"})
        if not is_heading:
            out.append(lines[i])
            i += 1
            continue
        end = i + 2
        while end < len(lines) and not (end + 1 < len(lines) and lines[end + 1].strip()
                                         and set(lines[end + 1].strip()) == {"-"}):
            end += 1
        section, moved = lines[i:end], []
        for k in range(2, len(section)):
            if (not section[k - 1].strip() and section[k].strip() and not section[k].startswith(" ")
                    and not _FIELD.match(section[k])):
                section, moved = section[:k], section[k:]
                break
        out += moved + ([""] if moved and moved[-1].strip() else []) + section
        i = end
    lines[:] = out


def _descriptions_not_types(app, what, name, obj, options, lines):
    _paragraphs_out_of_sections(lines)
    if what in ("property", "attribute") and lines and ": " in lines[0]:
        # ``pi R^2, m^2: the area ...`` is a formula and a unit, not a type.
        head, _, rest = lines[0].partition(": ")
        if not _TYPE.match(head.strip()):
            lines[0] = f"{head} \u2014 {rest}"
    out, field_indent = [], None
    for line in lines:
        line = _escape_bars(line)
        m = _FIELD.match(line)
        if m and not _TYPE.match(m.group(3).strip()):
            indent, names, text = m.groups()
            out += [f"{indent}{names}", f"{indent}    {text}"]
            field_indent = indent
        elif (not m and field_indent is not None and line.strip()
              and line[:len(line) - len(line.lstrip())] == field_indent):
            # A field's text run on at the field's own indent: part of its description.
            out.append(f"{field_indent}    {line.lstrip()}")
        else:
            field_indent = None
            out.append(line)
    lines[:] = out


_LITERAL = re.compile(r"(``.*?``)")


def _escape_bars(line):
    """``|u|`` means a magnitude here, never a reStructuredText substitution."""
    if "|" not in line:
        return line
    parts = _LITERAL.split(line)
    return "".join(p if p.startswith("``") else p.replace("|", "\\|") for p in parts)


def setup(app):
    app.connect("autodoc-process-docstring", _descriptions_not_types, priority=100)
