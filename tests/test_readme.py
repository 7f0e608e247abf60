"""The examples of the README and the documentation pages run as written."""

import json
import re
from pathlib import Path

ROOT = Path(__file__).parent.parent


def pages(*names):
    """The README and documentation pages as one text, each section ending at a heading."""
    return "".join((ROOT / name).read_text() + "\n## end\n" for name in names)


def test_readme_example_runs():
    text = pages("README.md", "docs/networks.md")
    namespace = {}
    for section in ("Using it from Python", "Least-cost networks and polish"):
        example = re.search(rf"## {section}.*?```python\n(.*?)```", text, re.S).group(1)
        exec(compile(example, "README.md", "exec"), namespace)
        assert namespace["result"].best_fitness > 0
    assert 1 / namespace["result"].best_fitness <= namespace["tree"]["cost"] * (1 + 1e-12)


def test_readme_gis_and_checkpoint_sections_run(tmp_path, monkeypatch):
    """Python blocks run in one namespace and `gridweave` commands as the CLI, in order."""
    import shlex
    import subprocess
    import sys

    import pytest

    pytest.importorskip("rasterio")
    text = pages("docs/gis.md", "docs/checkpoints.md")
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for section in ("GIS workflow", "Extending an existing network", "Checkpoint and resume"):
        body = re.search(rf"## {section}\n(.*?)\n## ", text, re.S).group(1)
        for language, block in re.findall(r"```(python|sh)\n(.*?)```", body, re.S):
            if language == "python":
                exec(compile(block, "README.md", "exec"), namespace)
                continue
            for line in block.splitlines():
                command = shlex.split(line)
                assert command[0] == "gridweave"
                subprocess.run([sys.executable, "-m", "gridweave", *command[1:]], check=True)
    assert {"network.geojson", "network.gpkg", "links.csv", "network.png"} <= {
        p.name for p in (tmp_path / "gis-out").iterdir()}
    assert (ROOT / "docs" / "gis-network.png").exists()  # the picture shown
    extension = json.loads((tmp_path / "extension-out" / "network.geojson").read_text())
    assert {"new", "existing", "attachment"} <= {f["properties"]["part"] for f in extension["features"]}
    assert len((tmp_path / "ckpt-out" / "history.csv").read_text().splitlines()) == 12
    assert namespace["result"].generations == 8
