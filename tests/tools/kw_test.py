#!/usr/bin/python3
"""Runs kw as a user does and reads what it reads and writes with olefile.
   kw_test.py <kw> <source dir> <test component dir> tree|check|demo|resolve
Exit 77 (skipped) when ../shared/testdata/cfb is not beside the checkout."""
import json
import os
import struct
import subprocess
import sys
import tempfile

import olefile

KW, SOURCE, COMPONENTS, CASE = sys.argv[1:5]
CORPUS = os.path.join(SOURCE, "..", "shared", "testdata", "cfb")
failures = []


def kw(*args):
    run = subprocess.run([KW, *args], capture_output=True, text=True, errors="replace")
    if run.returncode < 0:
        failures.append("kw %s died of signal %d" % (" ".join(args), -run.returncode))
    if run.returncode != 0 and not run.stderr.startswith("kw: "):
        failures.append("kw %s failed without saying why: %r" % (" ".join(args), run.stderr))
    return run


def expect(condition, what):
    if not condition:
        failures.append(what)


def corpus():
    if not os.path.isdir(CORPUS):
        print("no files from other writers at " + CORPUS)
        sys.exit(77)
    with open(os.path.join(CORPUS, "MANIFEST.tsv")) as manifest:
        rows = [line.rstrip("\n").split("\t") for line in manifest][1:]
    return [(os.path.join(CORPUS, row[0]), "\tDAMAGED" in "\t".join(row)) for row in rows]


def clsid_key(text):  # kw's "{...}" and olefile's "..." alike; all zero is ""
    text = text.strip("{}").replace("-", "").upper()
    return "" if text.strip("0") == "" else text


def kw_listing(tree):
    listing = {}

    def walk(node, path):
        for child in node.get("children", []):
            key = path + (child["name"].encode("utf-16-le", "surrogatepass").hex(),)
            listing[key] = (child["type"], child.get("size", 0), clsid_key(child.get("clsid", "")))
            walk(child, key)

    walk(tree["root"], ())
    return listing


def olefile_listing(ole):
    listing = {}
    for entry in ole.listdir(streams=True, storages=True):
        key = tuple(name.encode("utf-16-le", "surrogatepass").hex() for name in entry)
        if ole.get_type(entry) == olefile.STGTY_STREAM:
            listing[key] = ("stream", ole.get_size(entry), "")
        else:
            listing[key] = ("storage", 0, clsid_key(ole.getclsid(entry)))
    return listing


def test_tree():
    for path, damaged in corpus():
        run = kw("tree", "--json", path)
        if damaged:
            expect(run.returncode == 1, "%s: tree of a damaged file exits %d" % (path, run.returncode))
            continue
        tree = json.loads(run.stdout)
        ole = olefile.OleFileIO(path)
        mine, theirs = kw_listing(tree), olefile_listing(ole)
        for key in sorted(set(mine) | set(theirs)):
            expect(mine.get(key) == theirs.get(key),
                   "%s: %s is %s for kw, %s for olefile" % (path, key, mine.get(key), theirs.get(key)))
        expect(clsid_key(tree["root"]["clsid"]) == clsid_key(ole.root.clsid), path + ": root CLSID")
        expect(kw("tree", path).returncode == 0, path + ": kw tree")


def test_check():
    for path, damaged in corpus():
        status = kw("check", path).returncode
        expect(status in (1, 2) if damaged else status == 0, "%s: check exits %d" % (path, status))
    expect(kw("check", os.path.join(CORPUS, "MANIFEST.tsv")).returncode == 2, "check of a text file")
    expect(kw("check", os.path.join(CORPUS, "missing")).returncode == 2, "check of a missing file")


def test_demo():
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "p.kwp")
    run = kw("demo", "--items", "20", path)
    expect(run.returncode == 0 and "every check held" in run.stdout, "demo: " + run.stdout + run.stderr)
    ole = olefile.OleFileIO(path)
    expect(struct.unpack("<i", ole.openstream("Items/Count").read()) == (20,), "demo: Count")
    expect(ole.get_size("Items/ItemGUID") == 20 * 16, "demo: ItemGUID")
    first = ole.openstream("Items/Item0/CPersistentObjectStream").read()
    expect(first.startswith(b"KWVT\x1e\x00\x0a\x00\x00\x00Chapter 1\x00"), "demo: first name %r" % first)
    proxies = [e for e in ole.listdir() if e[0] == "Proxies"]
    expect(len(proxies) == 7 and all(ole.get_size(e) == 40 for e in proxies), "demo: proxies")
    items = json.loads(kw("tree", "--json", path).stdout)["root"]["children"][0]
    expect(items["list"]["count"] == 20, "tree: the list's count")
    name = [c for c in items["children"] if c["name"] == "Item0"][0]["children"][1]["object"]["name"]
    expect(name == "Chapter 1", "tree: the first item's name is " + name)
    expect(kw("check", path).returncode == 0, "check: the demo's file")
    ole.close()
    ole = olefile.OleFileIO(path, write_mode=True)  # a count beyond the stored CLSIDs
    ole.write_stream("Items/Count", struct.pack("<i", 21))
    hostile = b"C\x1b[2J\xc2\x9b1m\x00"  # an ESC and a C1 CSI in the first item's name
    ole.write_stream("Items/Item0/CPersistentObjectStream", first.replace(b"Chapter 1\x00", hostile))
    ole.close()
    run = kw("tree", path)
    expect("\"C\\x1B[2J\\u009B1m\"" in run.stdout and not set("\x1b\x9b") & set(run.stdout),
           "tree shows a name's controls escaped: %r" % run.stdout[:400])
    items = json.loads(kw("tree", "--json", path).stdout)["root"]["children"][0]
    name = [c for c in items["children"] if c["name"] == "Item0"][0]["children"][1]["object"]["name"]
    expect(name == "C\x1b[2J\x9b1m", "tree --json: the hostile name is %r" % name)
    run = kw("check", path)
    expect(run.returncode == 1 and "ItemGUID" in run.stdout, "check of a short list: " + run.stdout)
    expect(kw("demo", "--items", "x").returncode == 2, "demo: a bad count is a usage error")


def test_resolve():
    folder = tempfile.mkdtemp()
    ini = os.path.join(folder, "components.ini")
    counted, noentry, loose = ("%08X-7E57-4C0D-9E57-000000000001" % n
                               for n in (0x6E1F0A01, 0x90E47001, 0x12345678))
    with open(ini, "w") as out:
        out.write("[COMPONENT]\n%s=%s/libkwtest_counting.so\n%s=%s/libkwtest_noentry.so\n%s=%s\n" % (
            counted, COMPONENTS, noentry, COMPONENTS, loose, os.path.join(folder, "gone.so")))
    cases = [  # CLSID, exit status, words in the account
        (counted, 0, ["2. " + ini + ": maps it", "created an object", "exports gkw_CreateComponent: yes"]),
        ("{%s}" % "6E1F0AFF-7E57-4C0D-9E57-000000000001", 1, ["no entry for it", "not registered"]),
        (loose, 1, ["loads: no", "cannot open shared object file", "library: "]),
        (noentry, 1, ["exports gkw_CreateComponent: no"]),
    ]
    for clsid, status, words in cases:
        run = kw("resolve", clsid, "--ini", os.path.join(folder, "none.ini"), "--ini", ini)
        text = run.stdout + run.stderr
        expect(run.returncode == status, "resolve %s exits %d" % (clsid, run.returncode))
        for word in words:
            expect(word in text, "resolve %s does not say %r:\n%s" % (clsid, word, text))
    with open(ini + ".2", "w") as out:  # searched after ini when given after it
        out.write("[COMPONENT]\n%s=%s\n" % (counted, os.path.join(folder, "gone.so")))
    run = kw("resolve", counted, "--ini", ini, "--ini", ini + ".2")
    expect(run.returncode == 0 and "1. %s: maps it to %s/" % (ini, COMPONENTS) in run.stdout,
           "resolve searches the files in the order given:\n" + run.stdout)
    expect(kw("resolve", "not-a-clsid").returncode == 2, "resolve: a bad CLSID is a usage error")


globals()["test_" + CASE]()
for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
