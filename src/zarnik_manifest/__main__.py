"""`python -m zarnik_manifest`: the zarnik-manifest command line."""

from .cli import run

if __name__ == "__main__":
    run()
