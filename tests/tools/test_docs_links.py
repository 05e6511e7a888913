"""Every relative link in the README and docs/ leads to a file that exists, and every #anchor to
a heading of that file, as GitHub names headings."""
import glob
import os
import re
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGES = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))


def prose(path, code=""):
    """The page's lines outside fenced code blocks, with each inline code span replaced by
    `code` (a format of its text)."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.lstrip().startswith("```"):
                fenced = not fenced
            elif not fenced:
                yield re.sub(r"`([^`\n]*)`", lambda m: code.format(m.group(1)), line)


def anchors(path):
    """GitHub's anchors: lower case, punctuation dropped, spaces as hyphens, repeats numbered."""
    seen, found = {}, set()
    for line in prose(path, "{}"):
        heading = re.match(r"#{1,6} (.*)", line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
            found.add(slug if slug not in seen else "%s-%d" % (slug, seen[slug]))
            seen[slug] = seen.get(slug, 0) + 1
    return found


class Links(unittest.TestCase):
    def test_every_relative_link_resolves(self):
        """Catches a page moved or renamed, or a heading reworded, under a link that still
        points at it."""
        broken = []
        for page in PAGES:
            for line in prose(page):
                for target in re.findall(r"\]\(([^)\s]+)\)", line):
                    if re.match(r"[a-z]+:", target):
                        continue  # a web address: not this repository's to check
                    path, _, anchor = target.partition("#")
                    path = os.path.normpath(os.path.join(os.path.dirname(page), path)) \
                        if path else page
                    if not os.path.exists(path) or anchor and (
                            not path.endswith(".md") or anchor not in anchors(path)):
                        broken.append("%s: %s" % (os.path.relpath(page, ROOT), target))
        self.assertEqual(broken, [])


if __name__ == "__main__":
    unittest.main()
