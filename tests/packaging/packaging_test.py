#!/usr/bin/env python3
"""The install tree and the Debian package.

Installs the build into a temporary prefix and checks the tree, the desktop
entry and metainfo validators, that the binaries resolve every library, and
that nothing lands outside the prefix; builds the Debian package and checks
its control data; starts the installed program under a private X server until
its user interface is loaded from the installed data folder.

  packaging_test.py BUILD_DIR
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts", "demo.d"))
import demo as d  # noqa: E402

APP_ID = "example.orvello.OrvWebRecorder"
failures = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + str(detail)), flush=True)
    if not ok:
        failures.append(name)


def run(argv, **kw):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kw)


def main(build):
    build = os.path.abspath(build)
    tmp = tempfile.mkdtemp(prefix="orvweb-package.")
    prefix = os.path.join(tmp, "prefix")
    with_program = os.access(os.path.join(build, "recorder", "OrvWebRecorder"), os.X_OK)
    try:
        r = run(["cmake", "--install", build, "--prefix", prefix])
        check("cmake --install into a temporary prefix", r.returncode == 0, r.stdout)
        manifest = open(os.path.join(build, "install_manifest.txt")).read().split()
        check("nothing is installed outside the prefix", all(p.startswith(prefix + "/") for p in manifest),
              [p for p in manifest if not p.startswith(prefix + "/")])

        wanted = ["bin/orvweb-mpris-host", "lib/orvweb/plugins/OrvWeb.so", "share/orvweb/web/en/orvweb.htm",
                  "share/orvweb/web/de/orvweb.htm", "share/orvweb/web/common/orvweb.css",
                  "share/orvweb/web/common/orvweb.js", "share/applications/%s.desktop" % APP_ID,
                  "share/metainfo/%s.metainfo.xml" % APP_ID]
        if with_program:
            wanted.append("bin/OrvWebRecorder")
        icons = os.path.join(ROOT, "recorder", "resources", "icons")
        if os.path.exists(os.path.join(icons, "orvweb-recorder.svg")):
            wanted.append("share/icons/hicolor/scalable/apps/orvweb-recorder.svg")
        for png in glob.glob(os.path.join(icons, "orvweb-recorder-*.png")):
            size = os.path.basename(png)[len("orvweb-recorder-"):-len(".png")]
            if size.isdigit():
                wanted.append("share/icons/hicolor/%sx%s/apps/orvweb-recorder.png" % (size, size))
        missing = [w for w in wanted if not os.path.exists(os.path.join(prefix, w))]
        check("the install tree", not missing, missing)

        r = run(["desktop-file-validate", os.path.join(prefix, "share/applications/%s.desktop" % APP_ID)])
        check("desktop-file-validate", r.returncode == 0 and "error" not in r.stdout, r.stdout)
        r = run(["appstreamcli", "validate", "--no-net",
                 os.path.join(prefix, "share/metainfo/%s.metainfo.xml" % APP_ID)])
        check("appstreamcli validate --no-net", r.returncode == 0, r.stdout)

        for binary in [w for w in wanted if w.startswith(("bin/", "lib/"))]:
            r = run(["ldd", os.path.join(prefix, binary)])
            check("every library of %s resolves" % binary, r.returncode == 0 and "not found" not in r.stdout,
                  r.stdout)

        package_dir = os.path.join(tmp, "deb")
        r = run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", package_dir])
        debs = glob.glob(os.path.join(package_dir, "*.deb"))
        check("cpack -G DEB", r.returncode == 0 and len(debs) == 1, r.stdout)
        if debs:
            field = lambda name: run(["dpkg-deb", "-f", debs[0], name]).stdout.strip()  # noqa: E731
            depends = field("Depends")
            for lib in ["libc6", "libglib2.0-0", "libgtk-3-0"] + (["libwebkit2gtk-4.1-0", "libpulse0"]
                                                                  if with_program else []):
                check("the package depends on " + lib, lib in depends, depends)
            check("LAME, opened at run time, is recommended", "libmp3lame0" in field("Recommends"))
            control = os.path.join(tmp, "control")
            run(["dpkg-deb", "-e", debs[0], control])
            scripts = [s for s in ("preinst", "postinst", "prerm", "postrm") if os.path.exists(os.path.join(control, s))]
            check("no maintainer scripts", not scripts, scripts)
            listing = run(["dpkg-deb", "-c", debs[0]]).stdout
            for w in wanted:
                check("the package holds /usr/" + w, "./usr/" + w in listing)

        if with_program:
            demo = d.Demo(build, os.path.join(tmp, "run"))
            try:
                demo.start_rig()
                demo.write_profile()
                demo.start_recorder(os.path.join(prefix, "bin", "OrvWebRecorder"))
                check("the installed program loads its user interface", True)
                trace = open(os.path.join(demo.dir, "ui-trace.log"), encoding="utf-8").read()
                check("the pages come from the installed data folder",
                      "file://" + prefix + "/share/orvweb/web/" in trace, trace[:2000])
            except d.DemoError as e:
                check("the installed program loads its user interface", False, e)
            finally:
                demo.stop()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
