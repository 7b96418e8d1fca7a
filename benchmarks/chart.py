"""Horizontal grouped bar charts of durations on a log scale, written as SVG by hand so
that the benchmarks need no plotting library."""

import math
from dataclasses import dataclass
from xml.sax.saxutils import escape

WIDTH = 980
LABEL_WIDTH = 300  # the groups' names, left of the plot
VALUE_WIDTH = 150  # the bars' labels, right of the longest bar
PLOT_LEFT, PLOT_WIDTH = LABEL_WIDTH, WIDTH - LABEL_WIDTH - VALUE_WIDTH
BAR_HEIGHT, BAR_STEP, GROUP_GAP = 12, 14, 14
FONT = "DejaVu Sans, Verdana, Arial, sans-serif"
# Okabe and Ito's palette, which readers with any common colour blindness can tell apart, then two
# of Tol's muted colours for the series past its nine; the first series gets the strongest colour.
COLOURS = (
    "#D55E00",
    "#7F7F7F",
    "#0072B2",
    "#009E73",
    "#CC79A7",
    "#E69F00",
    "#56B4E9",
    "#F0E442",
    "#000000",
    "#882255",
    "#44AA99",
)


@dataclass(frozen=True)
class Bar:
    series: str
    seconds: float | None  # None: no bar, only the label
    label: str  # printed right of the bar
    open_ended: bool = False  # never finished: drawn faded across the whole plot


@dataclass(frozen=True)
class Group:
    label: str
    bars: list[Bar]


@dataclass(frozen=True)
class Panel:
    title: str
    groups: list[Group]


def duration_label(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale * 0.9999:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


class LogScale:
    """Maps durations to x, over whole decades around the values."""

    def __init__(self, values: list[float]) -> None:
        positive = [v for v in values if v > 0] or [1.0]
        self.low = math.floor(math.log10(min(positive)))
        self.high = max(math.ceil(math.log10(max(positive))), self.low + 1)

    def x(self, seconds: float) -> float:
        share = (math.log10(seconds) - self.low) / (self.high - self.low)
        return PLOT_LEFT + PLOT_WIDTH * min(max(share, 0.0), 1.0)

    def decades(self) -> list[float]:
        return [10.0**d for d in range(self.low, self.high + 1)]


def text(
    x: float, y: float, content: str, size: int = 12, anchor: str = "start", **attrs: str
) -> str:
    extra = "".join(f' {k.replace("_", "-")}="{v}"' for k, v in attrs.items())
    return (
        f'<text x="{x:.1f}" y="{y:.1f}" font-size="{size}" text-anchor="{anchor}"{extra}>'
        f"{escape(content)}</text>"
    )


def legend(series: list[str], colours: dict[str, str], y: float) -> tuple[list[str], float]:
    """The legend's elements, in as many lines as it takes, and the y of its last line."""
    parts, x = [], float(PLOT_LEFT)
    for name in series:
        if x + 30 + 8 * len(name) > WIDTH and x > PLOT_LEFT:
            x, y = float(PLOT_LEFT), y + 18
        parts.append(
            f'<rect x="{x:.1f}" y="{y - 10:.1f}" width="12" height="12" fill="{colours[name]}"/>'
        )
        parts.append(text(x + 17, y, name, 13))
        x += 30 + 8 * len(name)
    return parts, y


def axis(scale: LogScale, top: float, bottom: float) -> list[str]:
    parts = []
    for value in scale.decades():
        x = scale.x(value)
        parts.append(
            f'<line x1="{x:.1f}" y1="{top:.1f}" x2="{x:.1f}" y2="{bottom:.1f}" stroke="#dddddd"/>'
        )
        parts.append(text(x, bottom + 15, duration_label(value), 11, "middle", fill="#444444"))
    return parts


def bar(item: Bar, scale: LogScale, y: float, colour: str) -> list[str]:
    left = scale.x(10.0**scale.low)
    if item.open_ended:
        right = PLOT_LEFT + PLOT_WIDTH
        return [
            f'<rect x="{left:.1f}" y="{y:.1f}" width="{right - left:.1f}" height="{BAR_HEIGHT}" '
            f'fill="{colour}" fill-opacity="0.25" stroke="{colour}" stroke-dasharray="4 2"/>',
            text(right + 5, y + BAR_HEIGHT - 2, item.label, 11, font_weight="bold"),
        ]
    if item.seconds is None:
        return [
            text(left + 4, y + BAR_HEIGHT - 2, item.label, 11, fill="#444444", font_style="italic")
        ]
    right = scale.x(item.seconds)
    return [
        f'<rect x="{left:.1f}" y="{y:.1f}" width="{max(right - left, 1.0):.1f}" '
        f'height="{BAR_HEIGHT}" fill="{colour}"/>',
        text(right + 5, y + BAR_HEIGHT - 2, item.label, 11),
    ]


def panel(p: Panel, colours: dict[str, str], top: float) -> tuple[list[str], float]:
    """The panel's elements and the y below it."""
    scale = LogScale([b.seconds for g in p.groups for b in g.bars if b.seconds is not None])
    parts = [text(10, top + 16, p.title, 15, font_weight="bold")]
    y = plot_top = top + 30
    for group in p.groups:
        height = len(group.bars) * BAR_STEP
        parts.append(text(10, y + height / 2 + 4, group.label, 12))
        for n, item in enumerate(group.bars):
            parts += bar(item, scale, y + n * BAR_STEP, colours[item.series])
        y += height + GROUP_GAP
    parts = axis(scale, plot_top - 4, y - GROUP_GAP + 4) + parts
    return parts, y + 30


def render(title: str, subtitle: str, series: list[str], panels: list[Panel]) -> str:
    """An SVG document: the title, a legend of the series, then the panels one below another."""
    colours = dict(zip(series, COLOURS))
    parts = [
        text(10, 24, title, 18, font_weight="bold"),
        text(10, 44, subtitle, 12, fill="#444444"),
    ]
    legend_parts, legend_y = legend(series, colours, 70)
    parts += legend_parts
    y = legend_y + 14
    for p in panels:
        elements, y = panel(p, colours, y)
        parts += elements
    return "\n".join(
        [
            f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{y:.0f}" '
            f'viewBox="0 0 {WIDTH} {y:.0f}" font-family="{FONT}">',
            f'<rect width="{WIDTH}" height="{y:.0f}" fill="white"/>',
            *parts,
            "</svg>",
            "",
        ]
    )
