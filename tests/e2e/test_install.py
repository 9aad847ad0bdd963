"""Installing the build as a Linux program: cmake --install puts the two
programs, their string files and media resources in lib/teskqvel/ with links
in bin/ and the README in share/doc/; the installed program finds its files
beside itself, serves, and its -start_service writes a unit that starts the
installed program. The service manager is stood in for: the switch runs in a
mount namespace of its own, with empty unit and run-time folders and a
systemctl that only notes what it was asked."""

import os
import shutil
import stat
import subprocess

import pytest
import requests

from tq_site import BUILD, HOST, Site

FILES = ["teskqvel", "teskqvel_cmd", "qvelsml.txt", "qvelsml_de.txt", "content_dir.xml",
         "con_mgr.xml", "qvel_media.png"]


def install(prefix, destdir=None):
    env = dict(os.environ)
    if destdir:
        env["DESTDIR"] = destdir
    r = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr


def check_layout(prefix):
    lib = os.path.join(prefix, "lib", "teskqvel")
    assert sorted(os.listdir(lib)) == sorted(FILES)
    for name in ("teskqvel", "teskqvel_cmd"):
        assert os.stat(os.path.join(lib, name)).st_mode & stat.S_IXUSR
        link = os.path.join(prefix, "bin", name)
        assert os.readlink(link) == "../lib/teskqvel/" + name
        assert os.path.samefile(link, os.path.join(lib, name))
    with open(os.path.join(prefix, "share", "doc", "teskqvel", "README.md")) as f:
        assert f.read().startswith("# teskqvel")


def test_packagers_install_below_destdir(tmp_path):
    install("/usr/local", destdir=str(tmp_path / "pkg"))
    check_layout(str(tmp_path / "pkg" / "usr" / "local"))


def test_the_installed_program_serves_and_writes_its_own_service_unit(tmp_path):
    prefix = str(tmp_path / "usr" / "local")
    install(prefix)
    check_layout(prefix)
    program = os.path.join(prefix, "bin", "teskqvel")
    real = os.path.join(prefix, "lib", "teskqvel", "teskqvel")

    # Started by its link in bin/, it reads its string files from lib/teskqvel/
    # (without them it ends at once) and serves.
    site = Site(str(tmp_path / "site"), binary=program)
    site.put("index.html", "installed\n")
    site.start()
    try:
        r = requests.get("http://%s:%d/" % (HOST, site.port), timeout=20)
        assert r.status_code == 200 and r.text == "installed\n"
        assert "install dir: %s/\n" % os.path.dirname(real) in site.trace()
    finally:
        assert site.stop() == 0

    units = tmp_path / "units"
    fake = tmp_path / "fake-bin"
    units.mkdir()
    fake.mkdir()
    asked = tmp_path / "systemctl.log"
    (fake / "systemctl").write_text('#!/bin/sh\necho "$*" >>"%s"\n'
                                    '[ "$1" = is-active ] && echo active\nexit 0\n' % asked)
    (fake / "systemctl").chmod(0o755)
    home = tmp_path / "home"
    home.mkdir()
    env = dict(os.environ, HOME=str(home), XDG_DATA_HOME=str(tmp_path / "data"),
               XDG_CONFIG_HOME=str(home / ".config"), PATH="%s:%s" % (fake, os.environ["PATH"]))
    unshare = shutil.which("unshare")
    assert unshare, "unshare (util-linux) is needed to stand in for the service manager"
    # The namespace's own /run/systemd/system says "systemd runs"; the unit
    # folder is the test's. Nothing reaches the machine's manager.
    script = ('mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/system && '
              'mount --bind "$0" /etc/systemd/system && exec "$1" -start_service')
    r = subprocess.run([unshare, "--mount", "--propagation", "private", "sh", "-c", script,
                        str(units), program], env=env, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, (r.stdout, r.stderr)
    unit = (units / "teskqvel.service").read_text()
    assert 'ExecStart="%s" -service\n' % real in unit
    assert "Type=notify\n" in unit
    assert "enable teskqvel.service" in asked.read_text()
    assert "start --no-block teskqvel.service" in asked.read_text()
