#!/usr/bin/env python3
"""Watches cameras: prints every state change and report of a fleet until Ctrl-C.

    watch.py [--password P] NAME=ADDRESS [NAME=ADDRESS ...]
    watch.py --password secret gate=192.168.1.64 yard=192.168.1.65
"""
import argparse
import asyncio
import datetime

import ipcsdk


async def watch(fleet: ipcsdk.Fleet) -> None:
    async for ev in fleet.events():
        now = datetime.datetime.now().isoformat(timespec="milliseconds")
        if isinstance(ev, ipcsdk.StateEvent):
            why = f" ({ev.error_name})" if ev.error else ""
            print(f"{now} {ev.id}: {ev.old} -> {ev.new}{why}", flush=True)
        elif isinstance(ev, ipcsdk.ReportEvent):
            print(f"{now} {ev.id}: report 0x{ev.type:04X}, {len(ev.body)} bytes", flush=True)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--password", default="")
    p.add_argument("--user", default="admin")
    p.add_argument("cameras", nargs="+", metavar="NAME=ADDRESS")
    a = p.parse_args()
    try:
        with ipcsdk.Fleet() as fleet:
            for c in a.cameras:
                name, _, address = c.partition("=")
                fleet.add(name, address or name, user=a.user, password=a.password)
            asyncio.run(watch(fleet))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
