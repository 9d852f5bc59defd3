#!/usr/bin/python3
"""The window as a screen reader sees it: over the AT-SPI bus, from another process.

Run by a11y_bus.sh inside its own session bus (dbus-run-session) and X server. Starts the
accessibility bus and the program, prints one TAP line per case and exits 0 when all
pass, 1 when one fails, 77 when no accessibility bus can be started.

Usage: a11y_bus.py PROGRAM WORK_DIR LOG_FILE
"""

import os
import subprocess
import sys
import time

PROGRAM, WORK, LOG = sys.argv[1:4]
DATA_FILE = os.path.join(WORK, "表示するデータ.txt")
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
BUS_WAIT, APP_WAIT, STATE_WAIT, EXIT_WAIT = 10, 20, 5, 5

PALETTE = ["黒", "暗い青", "暗い緑", "暗いシアン", "暗い赤", "暗いマゼンダ", "暗い黄色", "明るい灰色",
           "暗い灰色", "明るい青", "明るい緑", "明るいシアン", "明るい赤", "明るいマゼンダ", "明るい黄色",
           "明るい白"]
# The text colour menu lists dark grey before light grey; the background menu does not.
FONT_ORDER = [0, 1, 2, 3, 4, 5, 6, 8, 7, 9, 10, 11, 12, 13, 14, 15]

# Short name, menu head, captions in order, the item checked at start, the unchecked item
# the bus activates.
MENUS = [
    ("区切り", "表示する語の区切り\u3000", ["ｶﾝﾏ，ﾄﾞｯﾄ．句読点、。", "スペース", "改行"],
     "ｶﾝﾏ，ﾄﾞｯﾄ．句読点、。", "スペース"),
    ("比率", "上下の表示の大きさの比率", ["上：下＝１：２", "上：下＝１：１", "上：下＝２：１"],
     "上：下＝１：１", "上：下＝２：１"),
    ("文字の色", "文字の色の指定", [PALETTE[i] for i in FONT_ORDER], "明るい白", "暗い赤"),
    ("バックの色", "バックの色", PALETTE, "暗い青", "暗い灰色"),
]
CHOICE_ROLES = {"check menu item", "radio menu item", "check box", "radio button"}

children = []
log = open(LOG, "ab")


def stop_children():
    for child in reversed(children):
        if child.poll() is None:
            child.terminate()
            try:
                child.wait(3)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()


def note(text):
    for line in str(text).splitlines():
        print("# " + line)


def skip(reason):
    print("1..0 # SKIP " + reason)
    stop_children()
    sys.exit(77)


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.1)


# --- the accessibility bus ---------------------------------------------------------------

try:
    from gi.repository import Gio, GLib
except ImportError as error:
    skip(f"no GObject introspection for Python ({error}); run scripts/setup.sh")

try:
    session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
except GLib.Error as error:
    skip(f"no session bus: {error.message}")


def a11y_bus_address():
    try:
        reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                                  GLib.VariantType.new("(s)"), Gio.DBusCallFlags.NO_AUTO_START, 1000, None)
        return reply.unpack()[0]
    except GLib.Error:
        return ""


children.append(subprocess.Popen([LAUNCHER, "--launch-immediately"], stdout=log, stderr=log))
if not wait_for(a11y_bus_address, BUS_WAIT):
    skip(f"{LAUNCHER} gave no accessibility bus within {BUS_WAIT} s")

try:
    import pyatspi
except ImportError as error:
    skip(f"no pyatspi ({error}); run scripts/setup.sh")

# --- the program -----------------------------------------------------------------------

env = {key: os.environ[key] for key in ("PATH", "HOME", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                        "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                        "XDG_RUNTIME_DIR", "ASAN_OPTIONS", "UBSAN_OPTIONS")
       if key in os.environ}
env.update(LANG="C.UTF-8", QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
log.write(b"--- start\n")
log.flush()
program = subprocess.Popen([PROGRAM], cwd=WORK, env=env, stdout=log, stderr=log)
children.append(program)


def find_app():
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == program.pid and app.childCount > 0:
                return app
        except Exception:  # an application that left the bus while we looked
            pass
    return None


def descendants(node):
    for child in node:
        if child is not None:
            yield child
            yield from descendants(child)


def find(node, role, name=None):
    return [o for o in descendants(node) if o.getRoleName() == role and (name is None or o.name == name)]


def states(node):
    return sorted(pyatspi.stateToString(s) for s in node.getState().getStates())


def actions(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return []
    return [action.getName(i) for i in range(action.nActions)]


def press(node):
    action = node.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    return action.doAction(names.index("Press"))


def describe(node):
    return f"{node.name}: role={node.getRoleName()!r} states={states(node)} actions={actions(node)}"


app = wait_for(find_app, APP_WAIT)
passed = failed = count = 0


def check(name, case):
    global passed, failed, count
    count += 1
    try:
        problem = case()
    except Exception as error:  # a bus call that failed is a failed case
        problem = f"{type(error).__name__}: {error}"
    if problem:
        note(problem)
        print(f"not ok {count} - {name}")
        failed += 1
    else:
        print(f"ok {count} - {name}")
        passed += 1


def case_app():
    if app is None:
        return f"the program did not show up on the accessibility bus within {APP_WAIT} s"
    if not find(app, "frame", "Pelmor"):
        return "no frame named Pelmor"


check("the program's window is on the accessibility bus", case_app)
if app is None:
    print(f"1..{count}")
    stop_children()
    sys.exit(1)


def menu_items(head):
    """The items of the popup menu under the menu bar head `head`."""
    heads = [o for o in find(app, "menu item", head) if o.parent.getRoleName() == "menu bar"]
    if len(heads) != 1:
        raise LookupError(f"{len(heads)} menu bar heads named {head!r}")
    popups = [c for c in heads[0] if c is not None]
    if len(popups) != 1:
        raise LookupError(f"{head!r} has {len(popups)} children, not one popup menu")
    return [c for c in popups[0] if c is not None]


def choice_problems(head, captions, checked, as_choices=True):
    """What is wrong with the choice menu: names, actions, check marks and (as_choices) roles."""
    items = menu_items(head)
    names = [o.name for o in items]
    if names != captions:
        return f"names {names}, want {captions}"
    problems = []
    for index, item in enumerate(items):
        if item.getIndexInParent() != index:
            problems.append(f"index in the menu {item.getIndexInParent()}, want {index}: {item.name}")
        item_states = states(item)
        if as_choices and item.getRoleName() not in CHOICE_ROLES and "checkable" not in item_states:
            problems.append("not announced as a choice: " + describe(item))
        if ("checked" in item_states) != (item.name == checked):
            problems.append(("should be checked: " if item.name == checked else "should not be checked: ")
                            + describe(item))
        if "Press" not in actions(item):
            problems.append("no Press action: " + describe(item))
    return "\n".join(problems)


def print_menu(short, head, checked):
    items = menu_items(head)
    for item in [o for o in items if o.name == checked] + [o for o in items if o.name != checked][:1]:
        note(f"{short} {'checked  ' if item.name == checked else 'unchecked'} {describe(item)}")


for short, head, captions, checked, _ in MENUS:
    print_menu(short, head, checked)
for short, head, captions, checked, _ in MENUS:
    check(f"{short}: {len(captions)} items named by their captions, each a choice, only {checked} checked",
          lambda: choice_problems(head, captions, checked))


def after_press(head, captions, target):
    """Presses `target` over the bus and waits until it is the only checked item."""
    item = next(o for o in menu_items(head) if o.name == target)
    if not press(item):
        return f"the bus refused to press {target}"
    if not wait_for(lambda: not choice_problems(head, captions, target, False), STATE_WAIT):
        return choice_problems(head, captions, target, False)


def list_field():
    combos = find(app, "combo box")
    if len(combos) != 1:
        raise LookupError(f"{len(combos)} combo boxes")
    fields = [c for c in combos[0] if c is not None and c.getRoleName() == "text"]
    if len(fields) != 1:
        raise LookupError(f"the list has {len(fields)} text fields")
    return fields[0]


def field_text():
    text = list_field().queryText()
    return text.getText(0, text.characterCount)


# The items are not grouped: only the handler takes the check mark off the item that had
# it, so a single check mark after the press shows that the handler ran.
def case_press(head, captions, target):
    def case():
        delimiters = head == MENUS[0][1]
        deck = "a b\r\nc d\r\n".encode("cp932")
        if delimiters:
            if os.path.exists(DATA_FILE):
                return "test fault: the data file existed before the press"
            with open(DATA_FILE, "wb") as data:
                data.write(deck)
        problem = after_press(head, captions, target)
        if problem or not delimiters:
            return problem
        # The delimiter handler splits the stored deck again and writes nothing.
        if not wait_for(lambda: find(app, "label", "データ数 ＝ 2"), STATE_WAIT):
            return "the count of the deck read again does not show"
        with open(DATA_FILE, "rb") as data:
            content = data.read()
        if content != deck:
            return f"data file holds {content!r}, want {deck!r}"
        if field_text() != "表示する語の一覧です":
            return f"the list's field shows {field_text()!r} after the choice"
    return case


for short, head, captions, checked, target in MENUS:
    check(f"{short}: pressing {target} over the bus checks it and unchecks {checked}",
          case_press(head, captions, target))
check("比率: pressing the checked item again leaves it the only one checked",
      case_press(MENUS[1][1], MENUS[1][2], MENUS[1][4]))


def case_field():
    field = list_field()
    if field.name != "カードの一覧":
        return f"the list's field is named {field.name!r}"


def case_divider():
    if [o for o in descendants(app) if o.name == "－"]:
        return "something is named －"
    separators = find(app, "separator")
    if len(separators) != 1:
        return f"{len(separators)} separators"
    if separators[0].name:
        return f"the divider is named {separators[0].name!r}"
    try:
        text = separators[0].queryText()
        return f"the divider reads as text: {text.getText(0, text.characterCount)!r}"
    except NotImplementedError:
        pass


def case_commands():
    problems = []
    for head, item in (("プログラムの終了", "終了"), ("データの貼り付け", "貼り付け")):
        items = menu_items(head)
        if [o.name for o in items] != [item] or items[0].getRoleName() != "menu item" or \
                actions(items[0]) != ["Press"] or "checkable" in states(items[0]):
            problems.append(f"{head}: " + "; ".join(describe(o) for o in items))
    buttons = sorted(o.name for o in find(app, "push button") if "Press" in actions(o))
    if buttons != sorted(["データの貼り付け", "次へ→", "←前へ", "終了"]):
        problems.append(f"buttons with a Press action: {buttons}")
    return "\n".join(problems)


check("the list's text field is named カードの一覧", case_field)
check("the divider is one separator with no name and no text", case_divider)
check("the two command menus and the four buttons are there, each with its Press action", case_commands)


def case_end():
    ends = find(app, "push button", "終了")
    if len(ends) != 1:
        return f"{len(ends)} buttons named 終了"
    try:
        press(ends[0])
    except Exception:  # the program may leave before it answers
        pass
    try:
        status = program.wait(EXIT_WAIT)
    except subprocess.TimeoutExpired:
        return f"still running {EXIT_WAIT} s after 終了 was pressed over the bus"
    if status != 0:
        return f"exit status {status}"


check("pressing 終了 over the bus ends the program with status 0", case_end)

stop_children()
print(f"1..{count}")
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
