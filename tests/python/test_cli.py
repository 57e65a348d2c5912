"""The command line, end to end: `python -m marbolt_rs` and the `marbolt-rs` script."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

SCRIPT = Path(sys.executable).parent / "marbolt-rs"
ERROR = "marbolt-rs: error: "


def run(*args, cwd, stdin=None):
    done = subprocess.run([sys.executable, "-m", "marbolt_rs", *map(str, args)], cwd=cwd,
                          capture_output=True, input=stdin, timeout=60)
    return subprocess.CompletedProcess(done.args, done.returncode, done.stdout.decode(),
                                       done.stderr.decode())


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


@pytest.mark.parametrize("column", ["level", "1"])
def test_json_of_a_selected_column(files, column):
    done = run("a.csv", "--column", column, "--json", "--model", "l1", cwd=files)
    out = json.loads(done.stdout)
    assert out["breakpoints"] == [50, 100, 150]
    assert out["cost"] > 0 and out["penalty"] > 0 and out["model"] == "l1"


def test_several_files_give_a_list_and_one_picture_each(files):
    done = run("a.csv", "b.npy", "--json", "--plot", "seg.png", "--column", "1", cwd=files)
    assert done.returncode == 0, done.stderr
    assert [o["file"] for o in json.loads(done.stdout)] == ["a.csv", "b.npy"]
    assert "file/s" in done.stderr  # the progress bar
    for name in ("seg-a.png", "seg-b.png"):
        assert (files / name).stat().st_size > 0
        assert (files / name).read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("index, header, expected, measured", [
    ("date", True, "2021-02-20 2021-04-11", "level"),
    ("1", False, "2021-02-20 2021-04-11", "column 2"),
    ("year", True, "1750 1800", "level")])
def test_an_index_column_labels_the_changes(files, index, header, expected, measured):
    x = np.loadtxt(files / "plain.csv")
    stamps = (np.datetime64("2021-01-01") + np.arange(150) if index != "year"
              else np.arange(1700, 1850))
    lines = ([f"{index},level"] if header else []) + [f"{t},{v!r}" for t, v in zip(stamps, x)]
    (files / "dated.csv").write_text("\n".join(lines) + "\n")
    done = run("dated.csv", "--index-column", index, "--method", "dynp", "--n-bkps", "2",
               cwd=files)
    assert (done.returncode, done.stdout, done.stderr) == \
        (0, expected + "\n", f"marbolt-rs: dated.csv: measured {measured}\n")
    out = json.loads(run("dated.csv", "--index-column", index, "--method", "dynp",
                         "--n-bkps", "2", "--json", cwd=files).stdout)
    assert (out["breakpoints"], " ".join(map(str, out["labels"])), out["columns"]) == \
        ([50, 100, 150], expected, [measured])


@pytest.mark.parametrize("args, status, message", [
    (["missing.csv"], 1, "missing.csv: No such file or directory"),
    (["bad.csv"], 1, "bad.csv: line 3, column 2: not a number: 'x'; choose columns with "
     "--column, or name the column that labels the samples with --index-column"),
    (["ragged.csv"], 1, "ragged.csv: line 2 has 1 fields, expected 2"),
    (["nan.csv"], 1, "nan.csv: holds 1 missing value, the first at line 2, column 1 ('nan'); "
     "drop or fill them first"),
    (["a.csv", "--column", "speed"], 1, "a.csv: no column named 'speed' (columns: level, noise)"),
    (["a.csv", "--index-column", "day"], 1, "a.csv: no column named 'day' (columns: level, noise)"),
    (["b.npy", "--index-column", "0"], 1,
     "b.npy: an .npy file holds no labels; --index-column needs a CSV file"),
    (["a.csv", "--method", "pelt", "--n-bkps", "2"], 2,
     "method 'pelt' takes pen (or none, for the default penalty), not n_bkps; for n_bkps, "
     "use method 'dynp' (or leave method out)"),
    (["a.csv", "--method", "dynp"], 2, "method 'dynp' needs n_bkps, the number of breakpoints"),
    (["a.csv", "--jump", "x"], 2, "argument --jump: invalid int value: 'x'"),
    (["a.csv", "--model", "L1"], 2, "unknown model: L1. Did you mean 'l1'? Supported: l1, l2, "
     "normal, rbf, cosine, rank, mahalanobis, clinear, linear, ar, poisson, exponential, "
     "variance, trend"),
    (["a.csv", "--penalty", "3"], 2, "unrecognized option: --penalty. Did you mean '--pen'?"),
    (["a.csv", "--n_bkps", "3"], 2, "unrecognized option: --n_bkps. Did you mean '--n-bkps'?"),
    (["a.csv", "--column", "0"], 1,
     "a.csv: there is no column 0: columns are numbered from 1 to 2"),
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


@pytest.mark.parametrize("name", ["plain.csv", "b.npy"])
def test_a_dash_reads_standard_input(files, name):
    done = run("-", "--n-bkps", "2", "--json", cwd=files, stdin=(files / name).read_bytes())
    out = json.loads(done.stdout)
    assert (out["file"], out["method"], out["breakpoints"]) == ("<stdin>", "dynp", [50, 100, 150])
    assert done.stderr == ""


def test_with_an_index_column_only_the_numeric_columns_are_measured_and_named(files):
    x = np.loadtxt(files / "plain.csv")
    lines = ["date,station,time,level"] + [
        f"{np.datetime64('2021-01-01') + i},{'ab'[i % 2]},{2021 + i / 365:.4f},{v!r}"
        for i, v in enumerate(x)]
    (files / "dated.csv").write_text("\n".join(lines) + "\n")
    done = run("dated.csv", "--index-column", "date", "--json", "--n-bkps", "2", cwd=files)
    assert json.loads(done.stdout)["columns"] == ["time", "level"]
    assert done.stderr == (
        "marbolt-rs: dated.csv: measured time, level; not numbers, left out: station; time "
        "only rises (a time axis? leave it out with --column, or name it with --index-column)\n")
    chosen = run("dated.csv", "--index-column", "1", "--column", "4", "--n-bkps", "2",
                 cwd=files)
    assert (chosen.stdout, chosen.stderr) == ("2021-02-20 2021-04-11\n", "")
