"""MkDocs hooks: the reference covers every public member, and each has a docstring.

The API model is the stub package (the runtime docstrings are bare signatures), loaded with
griffe exactly as mkdocstrings loads it. A strict build fails (on a warning) when

- a public member has no docstring: its entry would say nothing;
- a public name is rendered by no page. A public class of `kalemtri_py` that no page renders is
  the exception: it gets a generated page under Reference, so a class added to the module shows
  up without anyone editing the navigation.
"""

import logging
import re
from pathlib import Path

import griffe
from mkdocs.structure.files import File

log = logging.getLogger("mkdocs.plugins.kalemtri")

MODULES = ("kalemtri_py", "kalemtri_dask")
# Rendered members: the filters of mkdocs.yml (no _private names; __hash__ = None says only that
# the class is unhashable).
_HIDDEN = re.compile(r"^_[^_]|^__hash__$")
_DIRECTIVE = re.compile(r"^::: *([\w.]+)[ \t]*\n((?:[ \t]+.*\n|[ \t]*\n)*)", re.MULTILINE)


def public_tree(search_paths):
    """{dotted path: griffe object} of every public object the reference renders."""
    loader = griffe.GriffeLoader(search_paths=search_paths, allow_inspection=False)
    found = {}
    for name in MODULES:
        module = loader.load(name, find_stubs_package=True)
        _walk_module(module, name, found)
    loader.resolve_aliases(implicit=False, external=False)
    return found


def _walk_module(module, path, found):
    """The module's __all__, and every name it defines without a leading underscore: a class can
    be public without being listed in __all__."""
    found[path] = module
    names = [n if isinstance(n, str) else n.name for n in module.exports or ()]
    names += [
        name
        for name, member in module.members.items()
        if not name.startswith("_") and not member.is_alias and name not in names
    ]
    for name in names:
        member = module.members.get(name)
        if member is None:
            continue
        if member.is_module:
            _walk_module(member, f"{path}.{name}", found)
        else:
            _walk_object(member, f"{path}.{name}", found)


def _walk_object(obj, path, found):
    found[path] = obj
    if obj.is_class:
        for name, member in obj.members.items():
            if not _HIDDEN.search(name) and not member.is_alias:
                _walk_object(member, f"{path}.{name}", found)


def rendered_roots(docs_dir):
    """{identifier: covers members} for every `::: identifier` directive of the pages."""
    roots = {}
    for page in Path(docs_dir).rglob("*.md"):
        for match in _DIRECTIVE.finditer(page.read_text(encoding="utf-8")):
            roots[match.group(1)] = "members:" not in match.group(2)
    return roots


def is_rendered(path, roots):
    if path in roots:
        return True
    parts = path.split(".")
    return any(roots.get(".".join(parts[:i])) for i in range(1, len(parts)))


def on_files(files, config, **kwargs):
    handler = config["plugins"]["mkdocstrings"].config["handlers"]["python"]
    paths = [str(Path(config["config_file_path"]).parent / p) for p in handler.get("paths", [])]
    tree = public_tree(paths)
    roots = rendered_roots(config["docs_dir"])
    for path, obj in sorted(tree.items()):
        if obj.is_module:
            continue
        if not (obj.docstring and obj.docstring.value.strip()):
            log.warning("%s is public but has no docstring in the stubs: document it", path)
        if is_rendered(path, roots):
            continue
        if path.count(".") == 1 and obj.is_class:
            name = path.rsplit(".", 1)[1]
            uri = f"reference/{_snake(name)}.md"
            log.info("no page renders %s: generating %s", path, uri)
            file = File.generated(config, uri, content=f"# {name}\n\n::: {path}\n")
            files.append(file)
            _add_to_nav(config, name, uri)
            roots[path] = True
        else:
            log.warning("%s is public but no reference page renders it", path)
    return files


def _add_to_nav(config, title, uri):
    """Appends the page to the Reference section of the navigation (made after on_files)."""
    nav = config["nav"]
    if nav is None:
        return  # no explicit navigation: mkdocs lists every page itself
    section = next(
        (item["Reference"] for item in nav if isinstance(item, dict) and "Reference" in item), nav
    )
    if {title: uri} not in section:  # mkdocs serve calls the hooks again on every change
        section.append({title: uri})


def _snake(name):
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", name).lower()
