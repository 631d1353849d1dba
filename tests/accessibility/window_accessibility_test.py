"""The installer window as a screen reader, a keyboard user and a low-vision user meet it.

Runs the real window (window_driver) on a private X server (Xvfb, 1366 x 768) and the session's
accessibility bus (run under dbus-run-session), reads it through AT-SPI (pyatspi) in both
languages on every screen, presses keys with xdotool and measures its pixels on screen grabs.
Prints one line per failed check and "N passed, M failed"; exits 1 on any failure.
"""
import os, subprocess, sys, tempfile, time
import pyatspi
from gi.repository import GLib

DRIVER = sys.argv[1]
checks = {"passed": 0, "failed": 0}


def check(ok, what):
    checks["passed" if ok else "failed"] += 1
    if not ok:
        print("FAILED:", what, flush=True)


xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1366x768x24", "-wr",
                         "-nolisten", "tcp"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
os.environ["DISPLAY"] = ":" + xvfb.stdout.readline().decode().strip()
events = []
pyatspi.Registry.registerEventListener(
    lambda e: events.append((e.type, e.source)), "focus:",
    "object:property-change:accessible-description")


def pump(seconds, until=lambda: False):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not until():
        GLib.MainContext.default().iteration(False) or time.sleep(0.01)


class Window:
    def __init__(self, language, scale="1", config=None):
        env = dict(os.environ, LANGUAGE=language, QT_SCALE_FACTOR=scale, QT_QPA_PLATFORM="xcb",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", XDG_CONFIG_HOME=config or "/nonexistent")
        self.process = subprocess.Popen([DRIVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env, text=True)
        self.read()
        pump(10, lambda: self.frame() is not None)

    def read(self):
        lines = []
        while (line := self.process.stdout.readline().strip()) != "ok":
            lines.append(line)
        return lines

    def send(self, command, keys=None):
        events.clear()
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        actions = self.read()
        if keys:
            subprocess.run(["xdotool", "key", "--clearmodifiers", keys], check=True)
            actions += self.send("")
        pump(1.5)
        return actions

    def frame(self):
        desktop = pyatspi.Registry.getDesktop(0)
        apps = [a for a in desktop if a is not None and a.name == "vexa-window-driver"]
        return apps[0][0] if apps and apps[0].childCount else None

    def card(self):
        return list(self.frame()[0])

    def focused(self):
        return next((c for c in self.card()
                     if c.getState().contains(pyatspi.STATE_FOCUSED)), None)

    def close(self):
        self.process.kill()
        self.process.wait()


def announced(control):
    """The control a screen reader last spoke on a focus or description event, and what it said."""
    spoken = [s for _, s in events if s == control]
    return bool(spoken), f"{control.name}, {control.getRoleName()}, {control.description}"


def grab(window):
    path = os.path.join(scratch, "screen.ppm")
    window.send("grab " + path)
    with open(path, "rb") as f:
        data = f.read()
    header = data.split(b"\n", 3)
    width, height = map(int, header[1].split())
    pixels = header[3]
    return lambda x, y: tuple(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3])


def contrast(a, b):
    def luminance(c):
        v = [x / 255 for x in c]
        v = [x / 12.92 if x <= 0.04045 else ((x + 0.055) / 1.055) ** 2.4 for x in v]
        return 0.2126 * v[0] + 0.7152 * v[1] + 0.0722 * v[2]
    la, lb = sorted((luminance(a), luminance(b)))
    return (lb + 0.05) / (la + 0.05)


def extents(control):
    e = control.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


scratch = tempfile.mkdtemp()
# Screen, the control that takes the focus (Chinese, English), and the progress bar's state:
# None when absent from the tree, "busy", or the percentage it reports.
SCREENS = [
    ("welcome", "立即安装", "Install Now", None),
    ("checking", "关闭", "Close", "busy"),
    ("downloading", "关闭", "Close", 0),
    ("progress", "关闭", "Close", 42),
    ("installing", "关闭", "Close", "busy"),
    ("failure", "重试", "Retry", None),
    ("newer", "直接打开", "Open Vexa", None),
    ("running", "立即关闭", "Quit Now", None),
    ("quit-wait", "关闭 Vexa", "Quit Vexa", None),
    ("opening", "关闭", "Close", None),
    ("opening-failed", "立即打开", "Open Vexa", None),
]
for language, index in (("zh", 1), ("en", 2)):
    window = Window(language)
    frame = window.frame()
    check(frame.getRole() == pyatspi.ROLE_FRAME and frame.name ==
          ("Vexa 安装程序", "Vexa Installer")[index - 1], f"{language}: window {frame.name}")
    for screen in SCREENS:
        window.send(screen[0])
        card = window.card()
        focused, bar = window.focused(), [c for c in card if c.getRole() == pyatspi.ROLE_PROGRESS_BAR]
        where = f"{language} {screen[0]}"
        check(focused is not None and focused.name == screen[index], f"{where}: focus on "
              f"{focused and focused.name}")
        texts = [c.name for c in card if c.getRole() == pyatspi.ROLE_LABEL][2:]
        if focused is not None and screen[0] != "progress":
            spoken, said = announced(focused)
            check(spoken and focused.description == "\n".join(t for t in texts if t),
                  f"{where}: announced {said!r} for {texts}")
        check(not any(c.getRole() == pyatspi.ROLE_FILLER or (c.getRole() == pyatspi.ROLE_IMAGE
                      and c.name != "Vexa") for c in card), f"{where}: decoration in the tree")
        check(all(c.getRole() != pyatspi.ROLE_PUSH_BUTTON or c.name.isascii() == (language == "en")
                  for c in card if c.name != "Vexa"), f"{where}: names in another language")
        state = None
        if bar:
            interfaces = pyatspi.utils.listInterfaces(bar[0])
            value = bar[0].queryValue() if "Value" in interfaces else None
            busy = bar[0].getState().contains(pyatspi.STATE_BUSY)
            state = "busy" if busy and value is None else value and int(value.currentValue)
            check(bar[0].name == ("安装进度", "Installation progress")[index - 1], f"{where}: bar")
        check(state == screen[3], f"{where}: progress {state}")
    window.close()

# Keys on the newer-version screen: Return presses the primary, Escape and Ctrl+W make the close
# request (never "Install Anyway"), Ctrl+Q asks the close decision; Tab follows the reading order
# with a visible focus indicator of at least 3:1 on every control.
for theme in (None, "HighContrast"):
    config = None
    if theme:
        config = os.path.join(scratch, "config")
        os.makedirs(os.path.join(config, "gtk-3.0"), exist_ok=True)
        with open(os.path.join(config, "gtk-3.0", "settings.ini"), "w") as f:
            f.write(f"[Settings]\ngtk-theme-name={theme}\n")
    window = Window("en", config=config)
    window.send("newer")
    if not theme:
        for keys, action in (("Return", "primary"), ("Escape", "close"), ("ctrl+w", "close"),
                             ("ctrl+q", "shouldClose")):
            actions = window.send("", keys)
            check(actions == ["action " + action], f"{keys}: {actions}")
    order = []
    for _ in range(4):
        window.send("", "Tab")
        control = window.focused()
        order.append(control.name)
        pixel, (x, y, w, h) = grab(window), extents(control)
        ring, inside = ((pixel(x + 5, y + h // 2), pixel(x + 8, y + h // 2)) if w == 320 else
                        (pixel(x + 1, y + h // 2), (255, 255, 255)))
        check(contrast(ring, inside) >= 3, f"{theme}: focus ring of {control.name} "
              f"{contrast(ring, inside):.2f}:1")
    check(order == ["Install Anyway", "Cancel", "Close", "Open Vexa"], f"Tab order {order}")
    # Text contrast: the darkest pixel of each text on white, the primary's white title against
    # the lighter end of its gradient. Only the high-contrast colours must reach 4.5:1; the
    # standard ones stay as designed.
    window.send("failure")
    pixel = grab(window)
    for control in window.card():
        x, y, w, h = extents(control)
        if control.getRole() == pyatspi.ROLE_PUSH_BUTTON and w == 320:
            ratio = contrast(max((pixel(i, j) for i in range(x, x + w) for j in range(y, y + h)),
                                 key=sum), pixel(x + 14, y + 8))
        elif control.name.startswith(("your AI", "Network")):
            ratio = contrast(min((pixel(i, j) for i in range(x, x + w) for j in range(y, y + h)),
                                 key=sum), (255, 255, 255))
        else:
            continue
        check((ratio >= 4.5) == bool(theme), f"{theme}: {control.name} {ratio:.2f}:1")
    x, y, _, _ = extents(window.frame())
    check(pixel(x, y) == (255, 255, 255) and pixel(x + 400, y) == (217, 225, 232),
          f"corners without a compositor: {pixel(x, y)} {pixel(x + 400, y)}")
    window.close()

# A refused close beeps and says why.
window = Window("en")
window.send("checking")
window.send("busy")
actions = window.send("", "Escape")
spoken, said = announced(window.focused())
check(actions == ["action close"] and spoken and "can't close" in said, f"refused close: {said}")
window.close()

# Placement on 1366 x 768: centred when it fits, else its top-left corner on the screen.
for scale, expected in (("1", (283, 84)), ("1.5", (83, 0)), ("2", (0, 0))):
    window = Window("en", scale)
    out = subprocess.run(["xdotool", "search", "--name", "Vexa Installer", "getwindowgeometry"],
                         capture_output=True, text=True).stdout.split()
    x, y = map(int, out[out.index("Position:") + 1].split(","))
    w, h = map(int, out[out.index("Geometry:") + 1].split("x"))
    check(abs(x - expected[0]) <= 1 and y == expected[1] and (x + w <= 1366 or x == 0),
          f"scale {scale}: placed at {x},{y} size {w}x{h}")
    window.close()

xvfb.kill()
print(f"{checks['passed']} passed, {checks['failed']} failed")
sys.exit(1 if checks["failed"] else 0)
