"""Each layer of the library includes only its own headers and those of the
layers below it, so the include graph has no loop."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
# A folder may include from itself and from the folders listed for it.
below = {
    "platform": [],
    "ifd": ["platform"],
    "colour": ["ifd", "platform"],
    "interface": ["colour", "ifd", "platform"],
    "tiff": ["interface", "colour", "ifd", "platform", "include"],
    "readers": ["tiff", "interface", "colour", "ifd", "platform"],
    "library": ["readers", "tiff", "interface", "colour", "ifd", "platform", "include"],
}
home = {}
for folder in list(below) + ["include"]:
    for header in (root / folder).glob("*.h"):
        home[header.name] = folder
wrong = []
for folder, allowed in below.items():
    for source in sorted((root / folder).glob("*.[ch]*")):
        for name in re.findall(r'^#include "([^"]+)"', source.read_text(), re.M):
            owner = home.get(name)
            if owner is not None and owner != folder and owner not in allowed:
                wrong.append(f"{source.relative_to(root)} includes {owner}/{name}")
print("\n".join(wrong) or "layers are kept")
sys.exit(1 if wrong else 0)
