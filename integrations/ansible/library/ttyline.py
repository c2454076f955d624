#!/usr/bin/python
# -*- coding: utf-8 -*-
# A client of ttyenable, ttydisable and ttylines: it reads a line's state
# with ttylines and changes it only through the tools, whose messages it
# maps to Ansible's results.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: ttyline
short_description: Set a tty line for logins or for dialling out
description:
  - Sets one tty line of a host whose terminal lines are started by init from
    C(/etc/inittab) for incoming logins (its entry respawns a getty) or for
    dialling out (its entry is off or commented out), through the ttyenable,
    ttydisable and ttylines commands.
  - Where systemd is the running init, the same commands serve the line
    through its getty unit (C(serial-getty@NAME.service), or
    C(getty@ttyN.service) for a virtual console), enabled and started, or
    stopped and disabled.
  - It reads the line's state with C(ttylines -J) and runs C(ttyenable) or
    C(ttydisable) only when the line is not yet in the wanted state, so a
    second run changes nothing.
  - The tools take the inittab lock, refuse a line on which somebody is logged
    in, and ttyenable refuses a line that a live process holds for dialling
    out; the module fails with the tool's own message then.
options:
  name:
    description:
      - The line, as the tools accept it, such as C(ttyS1) or C(/dev/ttyS1).
    type: str
    required: true
  state:
    description:
      - C(enabled) sets the line for logins, C(disabled) for dialling out.
    type: str
    choices: [enabled, disabled]
    default: enabled
  add:
    description:
      - When the line has no entry in C(/etc/inittab) and I(state=enabled),
        add one in the table's own style with C(ttyenable -a), modelled on the
        entry of a line of the same kind, such as C(ttyUSB0) for
        C(ttyUSB1), and placed after it.
      - Without it, a line with no entry fails the task.
    type: bool
    default: false
  force:
    description:
      - Enable the line even when it has no device node or the kernel says
        that no port is behind it (C(ttyenable -f)), for an adapter that is
        plugged in later. Without it, such a line fails the task, since init
        would start its getty again and again.
    type: bool
    default: false
  wait:
    description:
      - After the change, or when the line is already set, wait until init
        serves the line as wanted (C(ttyenable -w), C(ttydisable -w)), with a
        getty that has run on it for a second, or none left on it. The task fails
        when that does not come within 5 seconds, such as a getty that init
        starts again and again because it ends at once.
    type: bool
    default: false
  path:
    description:
      - The directory that holds C(ttyenable), C(ttydisable) and C(ttylines).
      - When not given, they are looked for on C(PATH) and in the usual
        system directories.
    type: path
notes:
  - Check mode reports what would happen from C(ttylines) alone and runs
    nothing that changes the host.
  - Diff mode shows the line's entries in C(/etc/inittab) before and after;
    a commented-out entry shows with its C(#).
  - A commented-out entry, as distributions ship serial lines, counts as
    disabled; on a BusyBox init host, disabling comments the entry out.
  - On systemd, diff mode shows the state of the line's unit before and
    after, and I(add) changes nothing, since every line has its unit; the
    unit that a generator starts for the kernel's console cannot be disabled.
author:
  - ttyenable maintainers
"""

EXAMPLES = r"""
- name: Let operators log in on the modem line
  ttyline:
    name: ttyS1
    state: enabled

- name: Add an entry for a USB adapter and let operators log in on it
  ttyline:
    name: ttyUSB1
    add: true

- name: Free the line for the fax software again
  ttyline:
    name: /dev/ttyS1
    state: disabled
    path: /usr/local/sbin
"""

RETURN = r"""
line:
  description: The line's name, without C(/dev/).
  returned: always
  type: str
  sample: ttyS1
action:
  description: The action of the line's entry at the end, as C(ttylines) shows it, with C(#) in front when it is commented out; on systemd, the state of its unit, or null once it is disabled.
  returned: success
  type: str
  sample: respawn
hardware:
  description: Whether a port is behind the line, as C(ttylines) shows it; null when the host does not say.
  returned: when the line has an entry or a port
  type: bool
  sample: true
getty:
  description: The pid of the process that init runs on the line, as C(ttylines) shows it; null when there is none.
  returned: when the line has an entry or a port
  type: int
  sample: 1234
stdout_lines:
  description: What the tool printed, when it refused.
  returned: failure
  type: list
  elements: str
  sample: ["ttyS1 is logged in", "/etc/inittab not modified"]
"""

import json
import os
import re

from ansible.module_utils.basic import AnsibleModule

INITTAB = "/etc/inittab"
TOOLS = ("ttyenable", "ttydisable", "ttylines")
SETTING = {"enabled": "callin", "disabled": "callout"}
COMMENTED = re.compile(r"^[ \t]*#[ \t]*")


def find_tools(module):
    path = module.params["path"]
    found = {}
    for tool in TOOLS:
        if path:
            found[tool] = os.path.join(path, tool)
            if not os.access(found[tool], os.X_OK):
                module.fail_json(msg="%s not found in %s" % (tool, path), line=module.params["name"])
        else:
            found[tool] = module.get_bin_path(tool, required=True, opt_dirs=["/usr/local/sbin", "/usr/sbin", "/sbin"])
    return found


def lines_of(text):
    return [line.rstrip("\r") for line in text.splitlines()]


def line_rows(module, ttylines, line):
    """The kind of init and the rows that ttylines -a -J shows for the line:
    its entries, or the line with a port and no entry."""
    rc, out, err = module.run_command([ttylines, "-a", "-J", line])
    if rc != 0:
        output = lines_of(out)
        module.fail_json(msg=output[0] if output else err.strip(), line=line, rc=rc, stdout_lines=output)
    listing = json.loads(out)
    return listing["init"], [row for row in listing["lines"] if row["line"] == line]


def shown(row):
    return None if row["action"] is None else ("#" if row["commented"] else "") + row["action"]


def refusal_of(output, refusal):
    """Whether the tool's output is `refusal` and what it did not modify."""
    return len(output) == 2 and output[0] == refusal and output[1].endswith(" not modified")


def told(output, unchanged):
    """The tool's lines, without the refusal that it changed nothing."""
    return [text for text in output if text != unchanged and not text.endswith(" not modified")]


def unit_state(row):
    """A line's unit and its state, as diff mode shows them on systemd."""
    return "%s %s\n" % (row["id"], row["action"]) if row else ""


def fail_with(module, line, output, rc=None):
    module.fail_json(msg=output[0] if output else "", line=line, rc=rc, stdout_lines=output)


def shown_command(module, tool, line, options):
    """The command that the tool would run, as -v shows it."""
    rc, out, err = module.run_command([tool, "-v"] + options + [line])
    output = lines_of(out)
    if rc != 0 or not output or not output[-1].startswith("/bin/sh -c "):
        fail_with(module, line, output or [err.strip()], rc)
    return output[-1]


def added_entry(module, tool, line, options):
    """The entry that ttyenable -a would add, read back from the command
    that -v shows: between sed's quotes, after the line number and "a "."""
    quoted = re.search(r"sed -e '\d+a (.*)' < ", shown_command(module, tool, line, options)).group(1)
    return quoted.replace("'\\''", "'").replace("\\\\", "\\") + "\n"


def entries(row):
    """The table's entries with the row's id, in table order, as one text."""
    try:
        with open(INITTAB) as table:
            return "".join(entry for entry in table if COMMENTED.sub("", entry).split(":", 1)[0] == row["id"])
    except (IOError, OSError):
        return ""


def set_as(text, state, busybox):
    """The entries as the tool's edit would leave them."""
    result = []
    for entry in text.splitlines(True):
        fields = COMMENTED.sub("", entry).split(":", 3)
        if state == "disabled" and busybox:
            entry = "#" + entry
        elif len(fields) == 4:
            fields[2] = "respawn" if state == "enabled" else "off"
            entry = ":".join(fields)
        result.append(entry)
    return "".join(result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type="str", required=True),
            state=dict(type="str", choices=["enabled", "disabled"], default="enabled"),
            add=dict(type="bool", default=False),
            force=dict(type="bool", default=False),
            wait=dict(type="bool", default=False),
            path=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    state = module.params["state"]
    line = module.params["name"]
    if line.startswith("/dev/"):
        line = line[len("/dev/"):]
    tools = find_tools(module)
    wanted = state == "enabled"
    options = (["-a"] if module.params["add"] and wanted else []) + (["-f"] if module.params["force"] else [])
    options += ["-w"] if module.params["wait"] else []
    unchanged = "%s is currently set for %s" % (line, SETTING[state])

    init, rows = line_rows(module, tools["ttylines"], line)
    listed = [row for row in rows if row["id"] is not None]
    systemd = init == "systemd"
    if systemd:
        options = [option for option in options if option != "-a"]
        if not listed and not wanted:
            # A line whose unit neither starts at boot nor runs is not listed: set for dialling out.
            listed = [dict(rows[0] if rows else dict(hardware=None, getty=None), action=None, commented=False, logins=False)]
    if listed and listed[0]["logins"] == wanted:
        row = listed[0]
        if module.params["wait"] and not module.check_mode:
            # The tool's own wait for init, after it refuses the change.
            rc, out, err = module.run_command([tools["ttyenable" if wanted else "ttydisable"], "-w", line])
            output = lines_of(out)
            if rc != 0 or not refusal_of(output, unchanged):
                fail_with(module, line, told(output, unchanged) or [err.strip()], rc)
            row = (line_rows(module, tools["ttylines"], line)[1] or [row])[0]
        module.exit_json(changed=False, line=line, action=shown(row), hardware=row["hardware"], getty=row["getty"])

    before = unit_state(listed[0] if listed else None) if systemd else entries(listed[0]) if listed else ""
    result = dict(changed=True, line=line, hardware=rows[0]["hardware"] if rows else None,
                  getty=rows[0]["getty"] if rows else None)

    if module.check_mode:
        # What the tool would say, from ttylines alone, or for an entry to
        # add, from the command that ttyenable -v shows.
        if not listed and "-a" in options:
            after = added_entry(module, tools["ttyenable"], line, options)
            result["action"] = "respawn"
        elif not listed and not systemd:
            module.fail_json(msg="No entry in %s for %s" % (INITTAB, line), line=line)
        else:
            row = listed[0] if listed else dict(rows[0] if rows else dict(hardware=None, callout=None, login=None), id=None)
            if systemd and not wanted and row["action"].startswith("generated"):
                module.fail_json(msg="%s is started by a generator: only masking it would disable it" % row["id"], line=line)
            if wanted and row["hardware"] is False and "-f" not in options:
                if row["device"] is None:
                    module.fail_json(msg="/dev/%s: no such device" % line, line=line)
                module.fail_json(msg="%s has no hardware behind it" % line, line=line)
            if wanted and row["callout"] is not None:
                module.fail_json(msg="%s is in use for callout by process %s" % (line, row["callout"]), line=line)
            if row["login"] is not None:
                module.fail_json(msg="%s is logged in" % line, line=line)
            busybox = init == "busybox"
            after = set_as(before, state, busybox)
            result["action"] = "respawn" if wanted else ("#" + row["action"] if busybox else "off")
            if systemd:
                # The unit that ttyenable would enable, between the quotes of its command.
                unit = row["id"] or re.search(r"'([^']*)'$", shown_command(module, tools["ttyenable"], line, options)).group(1)
                result["action"] = "enabled/active" if wanted else None
                after = unit_state(dict(id=unit, action=result["action"])) if wanted else ""
    else:
        tool = tools["ttyenable" if wanted else "ttydisable"]
        rc, out, err = module.run_command([tool] + options + [line])
        output = lines_of(out)
        if rc == 0 and refusal_of(output, unchanged):
            result["changed"] = False  # another run was quicker
        elif rc != 0 or output:
            fail_with(module, line, told(output, unchanged) or [err.strip()], rc)
        rows = [row for row in line_rows(module, tools["ttylines"], line)[1] if row["id"] is not None]
        after = unit_state(rows[0] if rows else None) if systemd else entries(rows[0]) if rows else ""
        result["action"] = shown(rows[0]) if rows else None
        result["hardware"] = rows[0]["hardware"] if rows else result["hardware"]
        result["getty"] = rows[0]["getty"] if rows else None

    if module._diff and result["changed"]:
        header = "systemd" if systemd else INITTAB
        result["diff"] = dict(before=before, after=after, before_header=header, after_header=header)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
