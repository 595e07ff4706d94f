"""`python -m actionfile`: the actiontool command on the interpreter that runs it."""
from actionfile.cli import run

if __name__ == "__main__":
    run()
