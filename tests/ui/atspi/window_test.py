"""The window driven over the Linux accessibility bus (AT-SPI), as a screen
reader or a GUI automation tool drives it: the value fields are read by their
accessible names, the check boxes and radio buttons are changed by their
Toggle action and the device tree's items are expanded and selected by their
actions, and the values that follow must show that the client acted on it.

The test brings its own buses: run without --inner it re-runs itself under
`xvfb-run -a dbus-run-session`, so the session bus and the accessibility bus
(at-spi2-core, activated on it) are private to the test. It exits with 77
(skipped) when one of the packages it needs is missing.

With --usb EMULATOR the window runs over the USB backend: the program is
started under kvx-usb-emulator, which plays the same strips on an emulated bus."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = None
USB_EMULATOR = None
TIMEOUT = 30.0

# Accessible names of the value fields, by the text they show before the first reading.
FIELD_NAMES = {
    "(CH1NOW)": "１番 現在値", "(CH2NOW)": "２番 現在値", "(CH3NOW)": "３番 現在値", "(CH4NOW)": "４番 現在値",
    "(CH1MAX)": "１番 最大値", "(CH2MAX)": "２番 最大値", "(CH3MAX)": "３番 最大値", "(CH4MAX)": "４番 最大値",
    "(CH1MIN)": "１番 最小値", "(CH2MIN)": "２番 最小値", "(CH3MIN)": "３番 最小値", "(CH4MIN)": "４番 最小値",
    "(CH1AVG)": "１番 瞬時値", "(CH2AVG)": "２番 瞬時値", "(CH3AVG)": "３番 瞬時値", "(CH4AVG)": "４番 瞬時値",
    "(voltage)": "入力電圧", "(freqency)": "周波数", "(temp)": "庫内温度",
    "Value": "波形 現在値", "MAX": "波形 最大値", "MIN": "波形 最小値",
    "01234": "シリアル番号", "V2.0L10": "ファームウェアバージョン",
}


def missing_packages():
    """What the test needs and does not find, or an empty list."""
    missing = [tool for tool in ("xvfb-run", "dbus-run-session") if not shutil.which(tool)]
    if not any(os.path.exists(p) for p in ("/usr/libexec/at-spi-bus-launcher", "/usr/lib/at-spi2-core/at-spi-bus-launcher")):
        missing.append("at-spi2-core")
    if gi_python() is None:
        missing.append("python3-gi and gir1.2-atspi-2.0")
    return missing


def gi_python():
    """A Python interpreter that can load the AT-SPI bindings."""
    probe = "import gi; gi.require_version('Atspi', '2.0'); from gi.repository import Atspi"
    for python in (sys.executable, "/usr/bin/python3"):
        if python and os.path.exists(python) and subprocess.run(
                [python, "-c", probe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            return python
    return None


def wait_until(condition, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def number(text):
    return float(text) if re.fullmatch(r"-?\d+(\.\d+)?", text or "") else None


class WindowOverAtspiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import gi
        # libatspi marks its action-name getter deprecated without a successor in this version.
        warnings.filterwarnings("ignore", category=DeprecationWarning)
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi
        cls.Atspi = Atspi
        cls.dir = tempfile.mkdtemp(prefix="kvx-atspi-")
        # The accessibility bus and its registry are started (activated on the
        # session bus) and answering before the program looks for them.
        wait_until(lambda: Atspi.get_desktop(0) is not None and Atspi.get_desktop(0).get_child_count() >= 0,
                   "the accessibility registry")
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
        cls.output = open(os.path.join(cls.dir, "output.txt"), "w+")
        scenario = "--scenario=" + os.path.join(HERE, "strips.json")
        program = [BINARY, "--log-dir=" + cls.dir]
        if USB_EMULATOR:
            command = [USB_EMULATOR, scenario, "--"] + program + ["--driver=usb", "--usb-id=1209:0001"]
        else:
            command = program + [scenario]
        cls.process = subprocess.Popen(command, env=env, stdout=cls.output, stderr=subprocess.STDOUT)
        try:
            # Under the emulator the window is its command's, a child process.
            cls.client = wait_until(cls.client_pid, "the program started") if USB_EMULATOR else cls.process.pid
            cls.dialog = wait_until(cls.find_dialog, "the window on the accessibility bus")
        except AssertionError:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.process.poll() is None:
            cls.process.kill()
            cls.process.wait()
        if cls.process.returncode != 0:
            cls.output.seek(0)
            print("kvxclient exited with %d; its output:\n%s" % (cls.process.returncode, cls.output.read()))
        cls.output.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def client_pid(cls):
        with open("/proc/%d/task/%d/children" % (cls.process.pid, cls.process.pid)) as f:
            children = f.read().split()
        return int(children[0]) if children else None

    @classmethod
    def find_dialog(cls):
        if cls.process.poll() is not None:
            raise AssertionError("kvxclient ended before its window appeared")
        desktop = cls.Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is None or app.get_process_id() != cls.client:
                continue
            for j in range(app.get_child_count()):
                window = app.get_child_at_index(j)
                if window is not None and window.get_name() == "KVX - Client Software":
                    return window
        return None

    # ---- Reading the window.
    def objects(self, root=None):
        stack = [root or self.dialog]
        while stack:
            obj = stack.pop()
            yield obj
            children = [obj.get_child_at_index(i) for i in range(obj.get_child_count())]
            stack.extend(c for c in reversed(children) if c is not None)

    def find(self, name, role=None):
        for obj in self.objects():
            if obj.get_name() == name and (role is None or obj.get_role_name() == role):
                return obj
        return None

    def field(self, name):
        # The labels live as long as the window; only the waveform fields'
        # names change with the outlet, so a miss looks again.
        cache = self.__dict__.setdefault("_labels", {})
        obj = cache.get(name)
        if obj is None or obj.get_name() != name:
            cache.clear()
            cache.update((o.get_name(), o) for o in self.objects() if o.get_role_name() == "label")
            obj = cache.get(name)
        self.assertIsNotNone(obj, name)
        return obj

    def text(self, name):
        obj = self.field(name)
        return obj.get_text(0, obj.get_character_count())

    def value(self, name):
        return number(self.text(name))

    def checked(self, obj):
        return obj.get_state_set().contains(self.Atspi.StateType.CHECKED)

    def act(self, obj, action):
        names = [obj.get_action_name(i) for i in range(obj.get_n_actions())]
        self.assertIn(action, names, obj.get_name())
        self.assertTrue(obj.do_action(names.index(action)))

    def button(self, name, role, panel):
        """The button `name` inside the group box `panel` (the window has two of each)."""
        frame = self.find(panel, "panel")
        self.assertIsNotNone(frame, panel)
        box = frame.get_extents(self.Atspi.CoordType.WINDOW)
        for obj in self.objects():
            if obj.get_name() != name or obj.get_role_name() != role:
                continue
            at = obj.get_extents(self.Atspi.CoordType.WINDOW)
            if box.x <= at.x < box.x + box.width and box.y <= at.y < box.y + box.height:
                return obj
        self.fail(name + " in " + panel)

    def tree_item(self, name):
        tree = next(o for o in self.objects() if o.get_role_name() == "tree")
        for i in range(tree.get_child_count()):
            item = tree.get_child_at_index(i)
            if item is not None and item.get_name() == name:
                return item
        return None

    def select(self, *path):
        """Expands the nodes on the way and presses the last one, as a click selects it.
        Nodes below a strip are named after it too ("S/N=1A2B3 測定値計算")."""
        path = [path[0]] + [path[0] + " " + name for name in path[1:]]
        for name in path[:-1]:
            item = wait_until(lambda: self.tree_item(name), name + " in the tree")
            if not item.get_state_set().contains(self.Atspi.StateType.EXPANDED):
                self.act(item, "Expand")
        item = wait_until(lambda: self.tree_item(path[-1]), path[-1] + " in the tree")
        self.act(item, "Press")
        wait_until(lambda: self.tree_item(path[-1]).get_state_set().contains(self.Atspi.StateType.SELECTED),
                   path[-1] + " selected")

    # ---- The test: one window, driven step by step, as a user would.
    def test_the_window_read_and_driven_over_atspi(self):
        self.check_names()
        self.check_device_information()
        self.check_calculation_and_averaging()
        self.check_power_in_the_calculation_view()
        self.check_waveform_view()
        self.close_window()

    def check_names(self):
        for placeholder, name in FIELD_NAMES.items():
            obj = self.field(name)
            self.assertTrue(obj.get_description(), name)
            if placeholder not in ("01234", "V2.0L10"):  # filled as soon as a strip is connected
                self.assertEqual(self.text(name), placeholder, name)

    def check_device_information(self):
        self.select("S/N=2C4D5")
        wait_until(lambda: self.text("シリアル番号") == "2C4D5", "the second strip's serial number")
        self.select("S/N=1A2B3")
        wait_until(lambda: self.text("シリアル番号") == "1A2B3", "the first strip's serial number")
        wait_until(lambda: self.value("入力電圧") == 100, "the supply voltage")

    def check_calculation_and_averaging(self):
        self.select("S/N=1A2B3", "測定値計算")
        # 1200 W at 100 V: about 12 A on outlet 1.
        wait_until(lambda: 10000 < (self.value("１番 瞬時値") or 0) < 14000, "outlet 1's current")
        wait_until(lambda: self.value("１番 現在値") == self.value("１番 瞬時値"), "present = instantaneous")
        average = self.find("平均値を表示(反応遅い)", "check box")
        self.act(average, "Toggle")
        wait_until(lambda: self.checked(average), "the averaging box checked")
        # The average is of the readings already received: a steady load
        # shows its value at once, never a ramp from zero.
        for _ in range(5):
            present, instant = self.value("１番 現在値") or 0, self.value("１番 瞬時値") or 0
            self.assertLess(abs(present - instant), 200, "the averaged present value of a steady load")
            time.sleep(0.3)
        self.act(average, "Toggle")
        wait_until(lambda: not self.checked(average), "the averaging box unchecked")

    def check_power_in_the_calculation_view(self):
        power = self.button("電力", "radio button", "計算結果")
        self.act(power, "Toggle")
        wait_until(lambda: self.checked(power), "power checked")
        current = self.button("電流", "radio button", "計算結果")
        wait_until(lambda: not self.checked(current), "current unchecked")
        wait_until(lambda: 1000 < (self.value("１番 瞬時値") or 0) < 1400, "outlet 1's power in W")
        wait_until(lambda: 1000 < (self.value("１番 現在値") or 0) < 1400, "outlet 1's present power in W")
        wait_until(lambda: sorted(o.get_name() for o in self.objects()
                                  if o.get_role_name() == "label" and o.get_name() in ("mA", "W")) == ["W"] * 4,
                   "the four unit texts to say W")

    def check_waveform_view(self):
        self.select("S/N=1A2B3", "波形の観察", "１番波形")
        graph = wait_until(lambda: self.find("１番波形", "chart"), "the graph of outlet 1")
        wait_until(lambda: graph.get_state_set().contains(self.Atspi.StateType.SHOWING), "the graph showing")
        self.assertTrue(graph.get_description())
        wait_until(lambda: 10000 < (self.value("１番波形 現在値") or 0) < 14000, "outlet 1's effective current")
        power = self.button("電力", "radio button", "表示")
        self.act(power, "Toggle")
        wait_until(lambda: self.checked(power), "waveform power checked")
        wait_until(lambda: self.find("有効電力 [W]", "label"), "the power caption")
        wait_until(lambda: 1000 < (self.value("１番波形 現在値") or 0) < 1400, "outlet 1's active power in W")
        self.select("S/N=1A2B3", "波形の観察", "２番波形")
        wait_until(lambda: self.find("２番波形", "chart"), "the graph renamed for outlet 2")
        wait_until(lambda: self.value("２番波形 現在値") is not None, "outlet 2's waveform value")

    def close_window(self):
        self.act(self.find("閉じる", "push button"), "Press")
        self.assertEqual(self.process.wait(timeout=TIMEOUT), 0)


def main():
    global BINARY, USB_EMULATOR
    args = sys.argv[1:]
    inner = "--inner" in args
    args = [a for a in args if a != "--inner"]
    if len(args) < 2 or args[0] != "--binary":
        sys.exit("usage: window_test.py --binary KVXCLIENT [--usb KVX-USB-EMULATOR]")
    BINARY = os.path.abspath(args[1])
    usb = []
    if len(args) >= 4 and args[2] == "--usb":
        USB_EMULATOR = os.path.abspath(args[3])
        usb = ["--usb", USB_EMULATOR]
        args = args[:2] + args[4:]
    if not inner:
        missing = missing_packages()
        if missing:
            print("SKIP: the AT-SPI window test needs " + ", ".join(missing) +
                  " (scripts/install-deps.sh installs them)")
            sys.exit(SKIP)
        command = ["xvfb-run", "-a", "dbus-run-session", "--", gi_python(), os.path.abspath(__file__),
                   "--binary", BINARY] + usb + ["--inner"]
        sys.exit(subprocess.run(command).returncode)
    unittest.main(argv=[sys.argv[0]] + args[2:], verbosity=2)


if __name__ == "__main__":
    main()
