"""`vesker demo`: dump, import and report on a small leaky program."""

from __future__ import annotations

import argparse

from vesker.cli.arguments import Commands, command


def register(commands: Commands) -> None:
    demo = command(commands, "demo", _cmd_demo, help="dump, import and report on a small leaky program",
                   description="Run the bundled demo program, dump its heap, import "
                   "it with exact subtree sizes and print a short report.")
    demo.add_argument("--dir", help="keep the dump and the store in this directory "
                      "(default: a temporary directory, removed afterwards)")
    demo.add_argument("-q", "--quiet", action="store_true", help="no progress output")


def _cmd_demo(args: argparse.Namespace) -> int:
    from vesker.demo import run_demo

    return run_demo(args.dir, quiet=args.quiet)
