"""The README's ```pycon blocks run as one doctest, top to bottom, sharing their names."""

import doctest
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def examples_only(text: str) -> str:
    """Blanks every line outside ```pycon blocks, fences included, keeping line numbers."""
    kept, inside = [], False
    for line in text.splitlines():
        if line.startswith("```"):
            inside = line.strip() == "```pycon"
            kept.append("")
        else:
            kept.append(line if inside else "")
    return "\n".join(kept)


def test_readme_examples():
    test = doctest.DocTestParser().get_doctest(examples_only(README.read_text()), {},
                                               "README.md", str(README), 0)
    assert len(test.examples) >= 10
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
