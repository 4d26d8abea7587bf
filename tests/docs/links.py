#!/usr/bin/env python3
"""The user guide holds together: every relative link in the README, docs/ and the runtime's
README names a file of the tree, and every document under docs/ is linked from somewhere.

Usage: links.py SOURCE_ROOT"""

import os
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def main(root):
    documents = ["README.md", os.path.join("onewire", "README.md")] + [
        os.path.join("docs", name) for name in sorted(os.listdir(os.path.join(root, "docs")))
        if name.endswith(".md")]
    broken, linked = [], set()
    for document in documents:
        with open(os.path.join(root, document)) as f:
            text = f.read()
        for target in LINK.findall(text):
            if re.match(r"^[a-z]+:", target) or target.startswith("#"):
                continue
            path = os.path.normpath(os.path.join(os.path.dirname(document), target.split("#")[0]))
            linked.add(path)
            if not os.path.exists(os.path.join(root, path)):
                broken.append("%s links to %s, which does not exist" % (document, target))
    unlinked = [d for d in documents if d.startswith("docs") and d not in linked]
    for line in broken + ["%s is linked from no document" % d for d in unlinked]:
        print(line)
    print("%d documents, %d broken links, %d unlinked" % (len(documents), len(broken), len(unlinked)))
    return 1 if broken or unlinked else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(64)
    sys.exit(main(sys.argv[1]))
