"""Griffe extension: the docstrings of kalemtri are plain text, not Markdown.

Their formulas are full of `*` (`x*ox + y*oy`, `2**-52`) and `_`, `[`, `<`, which Markdown would
turn into emphasis, links or tags. Everything outside backtick code spans is escaped, so the
reference shows each docstring exactly as an IDE does.
"""

import html
import re

import griffe

_CODE_SPAN = re.compile(r"(`+)(.+?)\1", re.DOTALL)
_SPECIAL = re.compile(r"([\\*_\[\]#|])")


def escape_plain(text):
    """Text with Markdown's inline syntax escaped outside code spans; code spans kept."""
    out, last = [], 0
    for match in _CODE_SPAN.finditer(text):
        out.append(_escape_prose(text[last : match.start()]))
        out.append(match.group(0))
        last = match.end()
    out.append(_escape_prose(text[last:]))
    return "".join(out)


def _escape_prose(text):
    return _SPECIAL.sub(r"\\\1", html.escape(text, quote=False))


class PlainDocstrings(griffe.Extension):
    def on_package(self, *, pkg, **kwargs):
        _escape_tree(pkg, set())


def _escape_tree(obj, seen):
    if obj.is_alias or id(obj) in seen:
        return
    seen.add(id(obj))
    if obj.docstring is not None:
        obj.docstring.value = escape_plain(obj.docstring.value)
    for member in obj.members.values():
        _escape_tree(member, seen)
