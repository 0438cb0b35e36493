"""The site's navigation and the README's links: every page mkdocs.yml names exists, and every
relative link of README.md leads to a file, and a heading of it where it names one; and the
converter's reference in docs/convert.md has a row for every option its --help names."""
import re
import pathlib

import yaml

ROOT = pathlib.Path(__file__).resolve().parents[2]


def nav_pages(entries):
    for entry in entries:
        value = entry if isinstance(entry, str) else next(iter(entry.values()))
        if isinstance(value, list):
            yield from nav_pages(value)
        else:
            yield value


def anchors(markdown):
    """The ids the site gives a page's headings (the Markdown toc extension's slugs)."""
    text = re.sub(r"```.*?```", "", markdown, flags=re.S)
    return {re.sub(r"[-\s]+", "-", re.sub(r"[^\w\s-]", "", h.replace("`", "")).strip().lower())
            for h in re.findall(r"^#+ (.*)$", text, flags=re.M)}


def test_every_page_in_the_navigation_exists_and_every_readme_link_resolves():
    config = yaml.safe_load((ROOT / "mkdocs.yml").read_text())
    pages = list(nav_pages(config["nav"]))
    assert "index.md" in pages and len(pages) >= 14
    missing = [page for page in pages if not (ROOT / config["docs_dir"] / page).is_file()]
    assert not missing, f"mkdocs.yml names pages that do not exist: {missing}"

    readme = (ROOT / "README.md").read_text()
    assert len(readme.splitlines()) <= 150
    broken = []
    for target in re.findall(r"\]\(([^)\s]+)\)", readme):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        file = ROOT / path if path else ROOT / "README.md"
        if not file.exists():
            broken.append(target)
        elif anchor and file.suffix == ".md" and anchor not in anchors(file.read_text()):
            broken.append(target)
    assert not broken, f"README.md links to what is not there: {broken}"


def test_the_converter_reference_names_every_option_of_its_help():
    import subprocess
    import sys
    converter = pathlib.Path(sys.prefix) / "bin" / "tavrik-convert"
    shown = subprocess.run([converter, "--help"], capture_output=True, text=True, check=True).stdout
    options = set(re.findall(r"(?<![\w-])(--?[a-zA-Z][\w-]*)", shown.split("Each INPUT")[0]))
    reference = (ROOT / "docs" / "convert.md").read_text()
    table = reference[reference.index("| option |"):reference.index("## Choosing what is written")]
    missing = sorted(o for o in options if not re.search(rf"`{re.escape(o)}(?![\w-])", table))
    assert not missing, f"docs/convert.md's option table leaves out {missing}"
