"""python -m corvane receiver | demo"""
from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if not args or args[0] in ("-h", "--help"):
        print("usage: python -m corvane {receiver,demo} [options]\n\n"
              "  receiver  run the lead webhook receiver (see receiver --help)\n"
              "  demo      the road of a lead, offline: sandbox, receiver, stored leads")
        return 0 if args else 2
    command, rest = args[0], args[1:]
    if command == "receiver":
        from corvane.receiver.cli import main as run
    elif command == "demo":
        from corvane.sandbox.demo import main as run
    else:
        print(f"unknown command: {command}", file=sys.stderr)
        return 2
    return run(rest)


if __name__ == "__main__":
    sys.exit(main())
