"""The Python example of the README runs as written."""

import re
from pathlib import Path


def test_readme_example_runs():
    text = (Path(__file__).parent.parent / "README.md").read_text()
    namespace = {}
    for section in ("Using it from Python", "Least-cost networks and polish"):
        example = re.search(rf"## {section}.*?```python\n(.*?)```", text, re.S).group(1)
        exec(compile(example, "README.md", "exec"), namespace)
        assert namespace["result"].best_fitness > 0
    assert 1 / namespace["result"].best_fitness <= namespace["tree"]["cost"] * (1 + 1e-12)
