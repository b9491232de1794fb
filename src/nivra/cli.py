"""The `nivra` command: dispatches to the toolkit's sub-commands."""

import argparse
import importlib
import sys

from nivra import __version__

# command name -> (module whose main() runs it, one-line description)
COMMANDS = {
    "convert_to_mat": ("nivra.convert", "Convert ENVI / TIFF / GeoTIFF / HDF5 to .mat format"),
}


def _message(error):
    # A KeyError's str() adds quotes and escapes; show its own text instead.
    if isinstance(error, KeyError) and len(error.args) == 1:
        return str(error.args[0])
    text = str(error) or type(error).__name__
    # Libraries re-raise as "Read failed. See previous exception": show the cause too.
    cause = error.__cause__
    if cause is not None and str(cause) not in text:
        text = f"{text} ({_message(cause)})"
    return text


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    listing = "\n".join(f"  {name:<16}{help_}" for name, (_, help_) in COMMANDS.items())
    parser = argparse.ArgumentParser(
        prog="nivra",
        description="Hyperspectral image segmentation toolkit.",
        epilog="commands:\n" + listing,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("command", metavar="command", choices=COMMANDS, help="one of: " + ", ".join(COMMANDS))
    options = parser.parse_args(argv[:1])  # the rest belongs to the command
    module_name = COMMANDS[options.command][0]

    sys.argv = [f"nivra {options.command}", *argv[1:]]
    # Paths that are not valid in the locale's encoding arrive surrogate-escaped;
    # print them back as the bytes they came from instead of failing.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")
    try:
        importlib.import_module(module_name).main()
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # every ordinary failure: one line, no traceback
        print(f"error: {_message(error)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
