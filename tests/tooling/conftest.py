import sys
from pathlib import Path

# The tooling's modules live beside the CI entry point, not in an installed package.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / ".ci"))
