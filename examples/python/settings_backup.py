#!/usr/bin/env python3
"""Backs up every setting of a camera to a JSON file, or restores them from one.

    settings_backup.py backup  ADDRESS FILE [--password P]
    settings_backup.py restore ADDRESS FILE [--password P]

The file holds {"setting-name": value, ...} in the form of `ipcctl get NAME --json`, so one
setting can also be restored with `ipcctl set NAME FILE` after cutting it out.
"""
import argparse
import json
import sys

import ipcsdk


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("action", choices=["backup", "restore"])
    p.add_argument("address")
    p.add_argument("file")
    p.add_argument("--password", default="")
    p.add_argument("--user", default="admin")
    a = p.parse_args()
    failed = 0
    with ipcsdk.Camera(a.address, user=a.user, password=a.password) as cam:
        if a.action == "backup":
            saved = {}
            for s in ipcsdk.settings():
                if not s["writable"]:
                    continue
                try:
                    saved[s["name"]] = cam.get(s["name"])
                except ipcsdk.Error as e:
                    print(f"{s['name']}: {e}", file=sys.stderr)
                    failed += 1
            with open(a.file, "w") as f:
                json.dump(saved, f, indent=2)
            print(f"{len(saved)} settings saved to {a.file}")
        else:
            with open(a.file) as f:
                saved = json.load(f)
            for name, value in saved.items():
                try:
                    cam.set(name, value)
                except ipcsdk.Error as e:
                    print(f"{name}: {e}", file=sys.stderr)
                    failed += 1
            print(f"{len(saved) - failed} settings restored from {a.file}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
