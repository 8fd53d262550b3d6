"""Runs the README's examples in the current directory, in a process of their own.

    python readme_examples.py README.md

Every ```pycon block is a doctest; all of them share one namespace, in the
order they are written, as a reader typing them into one session would. Every
```spice block must import without error or warning. Prints doctest's report
and exits 1 when something failed or nothing ran.
"""

import doctest
import io
import re
import sys
import warnings

FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(text, language):
    """(line number of the block's first line, block text) of each fenced block in `language`."""
    for match in FENCE.finditer(text):
        if match.group(1) == language:
            yield text.count("\n", 0, match.start(2)) + 1, match.group(2)


def main(path):
    with open(path, encoding="utf-8") as file:
        text = file.read()
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    namespace = {"__name__": "readme"}
    for line, block in blocks(text, "pycon"):
        test = parser.get_doctest(block, namespace, f"README.md:{line}", path, line - 1)
        runner.run(test, clear_globs=False)
        namespace = test.globs  # each test works on a copy: carry it on to the next
    result = runner.summarize(verbose=False)

    from korvane.core.spicenet import ParseWarning, parse_oc_spice

    failed = result.failed
    spice = list(blocks(text, "spice"))
    for line, block in spice:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error", ParseWarning)
                records = parse_oc_spice(io.StringIO(block))
            if not records:
                raise AssertionError("no subcircuit record")
        except Exception as error:
            print(f"README.md:{line}: the SPICE example fails: {type(error).__name__}: {error}")
            failed += 1
    print(f"{result.attempted} examples, {len(spice)} SPICE blocks, {failed} failed")
    return 1 if failed or not result.attempted or not spice else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
