# SPDX-License-Identifier: GPL-2.0-or-later
"""The demo's run as a picture (SVG): the train's contacts against time, each lasting change where
the emulator's bus made it and where its datagram arrived on this machine, the bounces as ticks;
below them the remote's key presses as the kernel's IR decoder gave them and the frames that the
board's CAN adapter took on its line. All times are this machine's clock (seconds since the epoch).

    write(path, changes, bounces, keys, frames, title)
      changes  [(contact, closed, bus time, arrival time or None)]  lasting changes
      bounces  [(contact, bus time)]                                 changes undone at once
      keys     [(time, scan code)]                                   decoded presses and repeats
      frames   [(time, label, candump token)]                        on the adapter's line
"""
from xml.sax.saxutils import escape

WIDTH, LEFT, RIGHT, ROW, TOP = 1200, 150, 70, 26, 50


def write(path, changes, bounces, keys, frames, title):
    times = [t for c in changes for t in c[2:] if t] + [t for _, t in bounces] + [t for t, _ in keys] + \
        [t for t, _, _ in frames]
    if not times:
        return False
    start, end = min(times), max(times)
    span = max(end - start, 1.0)
    x = lambda t: LEFT + (t - start) / span * (WIDTH - LEFT - RIGHT)
    contacts = sorted({c[0] for c in changes} | {b[0] for b in bounces})
    rows = {c: TOP + i * ROW for i, c in enumerate(contacts)}
    key_row, frame_row = TOP + (len(contacts) + 1) * ROW, TOP + (len(contacts) + 2) * ROW
    axis = frame_row + 72
    height = axis + 40
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="12">' % (WIDTH, height),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="20" font-size="15" font-weight="bold">%s</text>' % (LEFT, escape(title))]
    # Whole seconds along the bottom.
    for s in range(int(span) + 1):
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x(start + s), TOP - 14, x(start + s), axis - 12))
        out.append('<text x="%.1f" y="%d" text-anchor="middle" fill="#666">%d s</text>' % (x(start + s), axis, s))
    for contact, y in rows.items():
        out.append('<text x="%d" y="%d" text-anchor="end">contact %d</text>' % (LEFT - 10, y + 4, contact))
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#999"/>' % (LEFT, y + 6, WIDTH - RIGHT, y + 6))
        mine = sorted((c for c in changes if c[0] == contact), key=lambda c: c[2])
        for i, (_, closed, made, arrived) in enumerate(mine):
            if closed:  # occupied until its next lasting change, or the end
                until = mine[i + 1][2] if i + 1 < len(mine) else end
                out.append('<rect x="%.1f" y="%d" width="%.1f" height="12" fill="#8bc34a"/>' % (x(made), y - 6, x(until) - x(made)))
            out.append('<circle cx="%.1f" cy="%d" r="4" fill="#1565c0"><title>bus %s</title></circle>'
                       % (x(made), y, "occupied" if closed else "freed"))
            if arrived:
                out.append('<path d="M%.1f %d l5 -9 h-10 z" fill="#e65100"><title>datagram %.1f ms later</title></path>'
                           % (x(arrived), y - 7, (arrived - made) * 1e3))
                out.append('<text x="%.1f" y="%d" fill="#e65100" font-size="10">%.0f ms</text>'
                           % (x(arrived) + 6, y - 8, (arrived - made) * 1e3))
        for _, t in (b for b in bounces if b[0] == contact):
            out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#c62828" stroke-width="1.5"/>' % (x(t), y - 9, x(t), y + 9))
    out.append('<text x="%d" y="%d" text-anchor="end">remote (IR decoder)</text>' % (LEFT - 10, key_row + 4))
    last = None
    for t, code in keys:
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#6a1b9a" stroke-width="2"><title>scan code 0x%x</title></line>'
                   % (x(t), key_row - 8, x(t), key_row + 8, code))
        if last is None or t - last > 0.25:  # a repeat gets no label of its own
            out.append('<text x="%.1f" y="%d" font-size="10" fill="#6a1b9a" text-anchor="middle">0x%02x</text>'
                       % (x(t), key_row - 11, code))
        last = t
    out.append('<text x="%d" y="%d" text-anchor="end">CAN adapter (can0)</text>' % (LEFT - 10, frame_row + 4))
    shown = -1e9  # where the last label went: one close to it goes a line lower
    for t, label, token in frames:
        out.append('<rect x="%.1f" y="%d" width="5" height="12" fill="#00838f"><title>%s</title></rect>' % (x(t) - 2.5, frame_row - 6, escape(token)))
        # A label runs down to the right: one that starts under the last one's length goes a
        # line lower, clear of it.
        y = frame_row + (38 if x(t) - shown < 70 else 16)
        shown = x(t) if y == frame_row + 16 else shown
        out.append('<text x="%.1f" y="%d" font-size="10" fill="#00838f" transform="rotate(25 %.1f %d)">%s</text>'
                   % (x(t), y, x(t), y, escape(label)))
    # Each frame with the key press it came from (the throttle acts within its 250 ms guard).
    for t, _, _ in frames:
        press = max((k for k, _ in keys if 0 <= t - k < 0.25), default=None)
        if press is not None:
            out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#999" stroke-dasharray="2,2"/>'
                       % (x(press), key_row + 8, x(t), frame_row - 6))
    legend = [("#1565c0", "the bus made a lasting change"), ("#e65100", "its datagram arrived here"),
              ("#c62828", "bounce"), ("#6a1b9a", "key press or repeat, decoded"),
              ("#00838f", "frame on the adapter's line")]
    lx = LEFT
    for colour, text in legend:
        out.append('<rect x="%d" y="%d" width="10" height="10" fill="%s"/>' % (lx, height - 18, colour))
        out.append('<text x="%d" y="%d">%s</text>' % (lx + 14, height - 9, escape(text)))
        lx += 30 + 7 * len(text)
    out.append('</svg>')
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    return True
