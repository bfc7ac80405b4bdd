"""Command-line arguments the gallery gives each example (sphinx-gallery's reset_argv)."""
import pathlib

OUTPUT = pathlib.Path(__file__).resolve().parent / "_build" / "example_output"


def example_argv(gallery_conf, script_vars):
    # vpm_wake.py writes its ParaView series where it is told: keep it out of the source tree.
    if pathlib.Path(script_vars["src_file"]).name == "vpm_wake.py":
        return [str(OUTPUT)]
    return []
