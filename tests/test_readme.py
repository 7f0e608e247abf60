"""The Python example of the README runs as written."""

import re
from pathlib import Path


def test_readme_example_runs():
    text = (Path(__file__).parent.parent / "README.md").read_text()
    example = re.search(r"## Using it from Python\s+```python\n(.*?)```", text, re.S).group(1)
    namespace = {}
    exec(compile(example, "README.md", "exec"), namespace)
    assert namespace["result"].best_fitness > 0
