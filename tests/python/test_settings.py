"""vantry_config as a Python program uses it."""

import configparser
import errno
import fcntl
import glob
import io
import os
import shutil
import subprocess
import threading

import pytest

import vantry_config as ini
from conftest import tool

TEXT = "; top\n[Net]\nPort = 8080 ; the port\nRatio=0.5\nOn = yes\nBad = x1\n"


def written(path, text=TEXT):
    with open(path, "wb") as out:
        out.write(text.encode("utf-8", "surrogateescape"))
    return ini.Settings(path)


@pytest.mark.parametrize("default, kind, expected", [
    (80, None, 8080), (None, int, 8080), ("x", None, "8080"),
    (None, None, "8080"), (1.5, None, 8080.0), (False, None, False),
])
def test_get_is_typed_by_the_default(default, kind, expected):
    s = ini.Settings.from_text(TEXT)
    value = s.get("Net", "Port", default, type=kind)
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize("key, kind, expected, fallback", [
    ("Bad", int, None, 7), ("None", int, None, 7), ("On", bool, True, False),
    ("Ratio", float, 0.5, 2.0), ("Port", bool, None, False),
])
def test_get_gives_none_or_the_fallback_when_missing_or_invalid(
        key, kind, expected, fallback):
    s = ini.Settings.from_text(TEXT)
    assert s.get("Net", key, type=kind) == expected
    assert s.get("Net", key, fallback) == (
        fallback if expected is None else expected)


def test_inspect_gives_state_text_line_and_file(path):
    s = written(path)
    assert s.inspect("Net", "Bad", type=int) == ini.Lookup(
        "invalid", "x1", 6, path)
    assert s.inspect("net", "PORT", type=int).state == "present"
    assert s.inspect("Net", "Gone").state == "missing"


def test_edits_change_only_their_line_and_are_saved(path):
    s = written(path)
    s.set("Net", "Port", 9090)
    s.set("Net", "On", False)
    s.set("Net", "Ratio", 0.25)
    assert s.erase("Net", "Bad") and not s.erase("Net", "Bad")
    expected = "; top\n[Net]\nPort = 9090 ; the port\nRatio=0.25\nOn = no\n"
    assert s.text() == expected
    assert open(path, newline="").read() == expected
    assert s.erase_section("Net") and s.sections() == []


def test_the_mapping_protocol():
    s = ini.Settings.from_text("top = 1\n[Net]\nPort = 80\n")
    assert s["Net"]["port"] == "80" and s[None]["top"] == "1"
    assert list(s) == [None, "Net"] and "Net" in s and "Old" not in s
    with pytest.raises(KeyError):
        s["Old"]
    with pytest.raises(KeyError):
        s["Net"]["Host"]
    net = s["Net"]
    net["Host"] = "h"
    assert dict(net.items()) == {"Port": "80", "Host": "h"}
    del net["Host"]
    with pytest.raises(KeyError):
        del net["Host"]
    assert list(net) == ["Port"] and len(net) == 1 and "port" in net


@pytest.mark.parametrize("call, error", [
    (lambda s: s.set("Net", "Port", "1\n[Evil]"), ValueError),
    (lambda s: s.set("Net", "Port", "a\0b"), ValueError),
    (lambda s: s.set("Net", "Port", "\ud800"), ValueError),
    (lambda s: s.set("Net", "Port", 1 << 70), ValueError),
    (lambda s: s.set("Net", "Port", None), TypeError),
    (lambda s: s.get("Net", None), TypeError),
    (lambda s: s.get("Net", "Port", [1]), TypeError),
    (lambda s: s.flush(), RuntimeError),
    (lambda s: s.on_change(print), RuntimeError),
])
def test_refusals_change_nothing(call, error):
    s = ini.Settings.from_text(TEXT)
    with pytest.raises(error):
        call(s)
    assert s.text() == TEXT


@pytest.mark.parametrize("items, line", [
    (["a", "b"], "Peers=a, b\n"),
    (["a,b", " c ", 'say "hi"', '"q"'],
     'Peers="a,b", " c ", say "hi", "\\"q\\""\n'),
    ([], "Peers=\n"),
])
def test_lists_round_trip_quoted_where_they_must_be(path, items, line):
    s = written(path, "[Net]\n")
    s.set("Net", "Peers", items)
    assert open(path, newline="").read() == "[Net]\n" + line
    assert s.get("Net", "Peers", type=list) == items
    assert ini.Settings.from_text(s.text()).get("net", "PEERS",
                                                type=list) == items


@pytest.mark.parametrize("items, expected", [
    (["a\0b"], ValueError), (["a\nb"], ValueError), ([""], ValueError),
    ([1], TypeError), ("a, b", ["a", "b"]), (("a", b"\xff"), ["a", "\udcff"]),
])
def test_list_items_are_str_or_bytes_and_refusals_change_nothing(items,
                                                                 expected):
    s = ini.Settings.from_text("[S]\n")
    if isinstance(expected, list):
        s.set("S", "t", items)
        assert s.get("S", "t", type=list) == expected
        return
    with pytest.raises(expected):
        s.set("S", "t", items)
    assert s.text() == "[S]\n"
    assert s.get("S", "t", ["x"], type=list) == ["x"]


def test_a_failed_save_is_an_oserror_with_errno_and_file(path):
    written(path)
    blocked = os.path.join(path, "under.ini")
    s = ini.Settings(blocked)
    with pytest.raises(OSError) as caught:
        s.set("S", "k", "v")
    assert caught.value.errno == errno.ENOTDIR
    assert caught.value.filename == blocked


def test_a_file_that_cannot_be_read_is_an_oserror_with_errno(tmp_path):
    with pytest.raises(OSError) as caught:
        ini.Settings(str(tmp_path))
    assert caught.value.errno == errno.EISDIR
    assert caught.value.filename == str(tmp_path)


def test_a_save_waiting_for_the_lock_lets_other_threads_run(path):
    s = written(path)
    entered, outcome = threading.Event(), []

    def save():
        entered.set()
        try:
            s.set("Net", "Port", 1)
            outcome.append("saved")
        except OSError as error:  # the lock was held past the library's bound
            outcome.append(error)
    with open(path, "r+") as held:
        fcntl.lockf(held, fcntl.LOCK_EX)  # as another program would
        saver = threading.Thread(target=save)
        saver.start()
        assert entered.wait(10)
        # Here while the save waits for the lock, unless the call holds the
        # GIL meanwhile: then only once the save has given up.
        assert saver.is_alive() and not outcome
        fcntl.lockf(held, fcntl.LOCK_UN)
    saver.join(20)
    assert outcome == ["saved"] and s.get("Net", "Port", 0) == 1


def test_any_bytes_round_trip_and_huge_values(path):
    s = written(path, "[S]\nk = caf\xe9\n".encode("latin-1").decode(
        "utf-8", "surrogateescape"))
    value = s.get("S", "k")
    assert value == "caf\udce9"
    s.set(b"S", b"k2", value)
    assert open(path, "rb").read() == b"[S]\nk = caf\xe9\nk2 = caf\xe9\n"
    huge = "x" * (16 << 20)
    s.set("S", "huge", huge)
    assert s.get("S", "huge") == huge


def test_another_processs_edit_is_heard(path):
    s = written(path)
    heard, changes = threading.Event(), []
    sub = s.on_change(lambda c: (changes.extend(c), heard.set()))
    try:
        subprocess.run([tool(), "set", path, "Net", "Port", "1"], check=True)
        assert heard.wait(10), "no change heard within 10 s"
        assert changes == [ini.Change("Net", "Port", "8080", "1")]
        assert s.get("Net", "Port", 0) == 1
    finally:
        sub.cancel()
    assert not sub.active


def test_a_callback_that_raises_reaches_the_error_handler(path):
    s = written(path)
    failed, failures = threading.Event(), []
    ini.set_error_handler(lambda file, message: (failures.append(
        (file, message)), failed.set()))

    def broken(changes):
        raise KeyError("no such thing")
    sub = s.on_change(broken)
    try:
        subprocess.run([tool(), "set", path, "Net", "Port", "2"], check=True)
        assert failed.wait(10), "the error handler heard nothing in 10 s"
        file, message = failures[0]
        assert os.path.samefile(file, path) and "KeyError" in message
    finally:
        sub.cancel()
        ini.set_error_handler(None)


def test_threads_call_at_once(path):
    s = written(path)

    def work(n):
        for i in range(50):
            s.set("T", f"k{n}", i)
            assert s.get("T", f"k{n}", -1) == i
            assert s.get("Net", "Port", 0) == 8080
    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert [s.get("T", f"k{n}", 0) for n in range(8)] == [49] * 8
    assert sorted(ini.Settings(path).keys("T")) == [f"k{n}" for n in range(8)]


DATA = os.path.join(os.path.dirname(__file__), "..", "..")
FILES = sorted(glob.glob(os.path.join(DATA, "tests", "data", "*.ini")) +
               glob.glob(os.path.join(DATA, "fuzz", "corpus", "load", "*")) +
               glob.glob(os.path.join(DATA, "examples", "*.ini")))


def comment_lines(data):
    return [line for line in data.splitlines()
            if line.lstrip()[:1] in (b";", b"#")]


@pytest.mark.parametrize("source", FILES, ids=os.path.basename)
def test_configparser_users_files_keep_every_other_byte(source, tmp_path,
                                                         capsys):
    copy = str(tmp_path / "copy.ini")
    shutil.copyfile(source, copy)
    before = open(copy, "rb").read()
    s = ini.Settings(copy, syntax=ini.Syntax(duplicates="last"))
    section = next((name for name in s.sections() if s.keys(name)), None)
    key = s.keys(section)[0] if section is not None or s.keys(None) else None
    if key is None:
        s.set("Edited", "Key", "1")
        assert open(copy, "rb").read().startswith(before.rstrip(b"\n"))
    else:
        line = s.inspect(section, key).line
        s.set(section, key, "edited")
        after = open(copy, "rb").read().splitlines(keepends=True)
        original = before.splitlines(keepends=True)
        assert len(after) == len(original)
        assert [a for i, a in enumerate(after) if i != line - 1] == \
            [o for i, o in enumerate(original) if i != line - 1]
    parser = configparser.ConfigParser(strict=False, interpolation=None)
    try:
        parser.read(source, encoding="utf-8")
        rewritten = io.StringIO()
        parser.write(rewritten)
        kept = set(comment_lines(rewritten.getvalue().encode()))
        lost = "loses %d of %d comment lines" % (
            sum(line not in kept for line in comment_lines(before)),
            len(comment_lines(before)))
    except (configparser.Error, UnicodeDecodeError) as error:
        lost = f"cannot read it ({type(error).__name__})"
    with capsys.disabled():
        print(f"\n  {os.path.basename(source)}: vantry_config keeps every "
              f"other byte; configparser {lost}")


def test_layers_read_the_highest_and_write_the_last(tmp_path, monkeypatch):
    vendor, admin = tmp_path / "vendor.ini", tmp_path / "admin.ini"
    vendor.write_text("[Net]\nPort = 1\nHost = v\n")
    admin.write_text("[Net]\nPort = 2\n")
    monkeypatch.setenv("APP__NET__TIMEOUT", "30")
    layers = ini.Layers([vendor, admin], defaults="[Net]\nRetries = 3\n",
                        environment="APP")
    assert layers.get("Net", "Port", 0) == 2
    assert layers.inspect("Net", "Host").file == str(vendor)
    assert (layers.get("Net", "Timeout", 0), layers.get("Net", "Retries", 0)) \
        == (30, 3)
    layers.set("Net", "Host", "a")
    assert admin.read_text() == "[Net]\nPort = 2\nHost = a\n"
    assert "Host = v" in vendor.read_text()
    layers.erase("Net", "Port")
    assert layers.get("Net", "Port", 0) == 1
    with pytest.raises(ValueError):
        layers.text()
