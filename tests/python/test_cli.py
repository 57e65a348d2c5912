"""The command line, end to end: `python -m marbolt_rs` and the `marbolt-rs` script."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

SCRIPT = Path(sys.executable).parent / "marbolt-rs"
ERROR = "marbolt-rs: error: "


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "marbolt_rs", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=60)


@pytest.fixture
def files(tmp_path, rng):
    x = np.repeat([0.0, 4.0, 1.0], 50) + rng.normal(size=150)
    lines = ["level,noise"] + [f"{v!r},{n!r}" for v, n in zip(x, rng.normal(size=150))]
    (tmp_path / "a.csv").write_text("\n".join(lines) + "\n")
    np.save(tmp_path / "b.npy", x)
    (tmp_path / "plain.csv").write_text("\n".join(map(repr, x)) + "\n")
    return tmp_path


def test_text_output_of_one_file(files):
    done = run("plain.csv", "--method", "dynp", "--n-bkps", "2", cwd=files)
    assert (done.returncode, done.stdout, done.stderr) == (0, "50 100 150\n", "")


def test_the_console_script_is_installed(files):
    done = subprocess.run([SCRIPT, "b.npy", "--json", "--method", "dynp", "--n-bkps", "2"],
                          cwd=files, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert json.loads(done.stdout)["breakpoints"] == [50, 100, 150]


@pytest.mark.parametrize("column", ["level", "0"])
def test_json_of_a_selected_column(files, column):
    done = run("a.csv", "--column", column, "--json", "--model", "l1", cwd=files)
    out = json.loads(done.stdout)
    assert out["breakpoints"] == [50, 100, 150]
    assert out["cost"] > 0 and out["penalty"] > 0 and out["model"] == "l1"


def test_several_files_give_a_list_and_one_picture_each(files):
    done = run("a.csv", "b.npy", "--json", "--plot", "seg.png", "--column", "0", cwd=files)
    assert done.returncode == 0, done.stderr
    assert [o["file"] for o in json.loads(done.stdout)] == ["a.csv", "b.npy"]
    assert "file/s" in done.stderr  # the progress bar
    for name in ("seg-a.png", "seg-b.png"):
        assert (files / name).stat().st_size > 0
        assert (files / name).read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("index, header, expected", [
    ("date", True, "2021-02-20 2021-04-11"), ("0", False, "2021-02-20 2021-04-11"),
    ("year", True, "1750 1800")])
def test_an_index_column_labels_the_changes(files, index, header, expected):
    x = np.loadtxt(files / "plain.csv")
    stamps = (np.datetime64("2021-01-01") + np.arange(150) if index != "year"
              else np.arange(1700, 1850))
    lines = ([f"{index},level"] if header else []) + [f"{t},{v!r}" for t, v in zip(stamps, x)]
    (files / "dated.csv").write_text("\n".join(lines) + "\n")
    done = run("dated.csv", "--index-column", index, "--method", "dynp", "--n-bkps", "2",
               cwd=files)
    assert (done.returncode, done.stdout, done.stderr) == (0, expected + "\n", "")
    out = json.loads(run("dated.csv", "--index-column", index, "--method", "dynp",
                         "--n-bkps", "2", "--json", cwd=files).stdout)
    assert (out["breakpoints"], " ".join(map(str, out["labels"]))) == ([50, 100, 150], expected)


@pytest.mark.parametrize("args, status, message", [
    (["missing.csv"], 1, "missing.csv: No such file or directory"),
    (["bad.csv"], 1, "bad.csv: line 3, column 1: not a number: 'x'"),
    (["ragged.csv"], 1, "ragged.csv: line 2 has 1 fields, expected 2"),
    (["nan.csv"], 1, "nan.csv: signal has a non-finite value at sample 1 (column 0): nan"),
    (["a.csv", "--column", "speed"], 1, "a.csv: no column named 'speed' (columns: level, noise)"),
    (["a.csv", "--index-column", "day"], 1, "a.csv: no column named 'day' (columns: level, noise)"),
    (["b.npy", "--index-column", "0"], 1,
     "b.npy: an .npy file holds no labels; --index-column needs a CSV file"),
    (["a.csv", "--n-bkps", "2"], 2,
     "method 'pelt' takes pen (or none, for the default penalty), not n_bkps"),
    (["a.csv", "--method", "dynp"], 2, "method 'dynp' needs n_bkps, the number of breakpoints"),
    (["a.csv", "--jump", "x"], 2, "argument --jump: invalid int value: 'x'"),
    ([], 2, "the following arguments are required: FILE"),
])
def test_bad_input_is_one_line_on_stderr(files, args, status, message):
    (files / "bad.csv").write_text("1,2\n3,4\n5,x\n")
    (files / "ragged.csv").write_text("1,2\n3\n")
    (files / "nan.csv").write_text("1\nnan\n3\n")
    done = run(*args, cwd=files)
    assert (done.returncode, done.stdout, done.stderr) == (status, "", ERROR + message + "\n")


def test_the_readme_command_runs_from_the_clone_root():
    # The package's sources sit below python/, so the clone root holds no
    # marbolt_rs directory that would shadow the installed package.
    root = Path(__file__).resolve().parents[2]
    done = run("data/nile.csv", "--json", cwd=root)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["breakpoints"] == [28, 100]
