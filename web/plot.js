// The plot: calibrated value against time, each channel in a panel of its
// own with its own scale, the panels stacked on one time axis; drawn from
// the worker's least and greatest value per column of the time axis
// (QuarvelAxis), so that millions of samples cost no more than a few
// thousand. Columns are joined only within a block: gaps between blocks
// stay gaps, and a gap cut out of the axis shows as a break.
/* global QuarvelAxis */
const QuarvelPlot = (() => {
  'use strict';

  const COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];
  const MARGIN = { left: 70, right: 12, top: 12, bottom: 46 };
  const LABEL_ROOM = 190;  // pixels between time labels
  const GAP_LABEL_ROOM = 60;  // pixels between labels of gaps
  const PANEL_GAP = 8;  // pixels between panels

  // The height of each of `count` panels.
  const panelHeight = (count) => (count <= 1 ? 262 : Math.max(70, Math.floor(320 / count)));

  // The columns of the time axis for `canvas`.
  function columnsFor(canvas) {
    return Math.max(canvas.width - MARGIN.left - MARGIN.right, 1);
  }

  // The range of the values of series `s`, padded; null when it has none.
  function valueRange(s) {
    let low = Infinity;
    let high = -Infinity;
    for (let i = 0; i < s.min.length; i++) {
      if (s.firstBlock[i] < 0) continue;
      low = Math.min(low, s.min[i]);
      high = Math.max(high, s.max[i]);
    }
    if (!(low <= high)) return null;
    const pad = low === high ? Math.max(Math.abs(low) * 1e-3, 1) : (high - low) * 0.04;
    return { low: low - pad, high: high + pad };
  }

  // 1, 2 or 5 times a power of ten, at least `rough`.
  function niceStep(rough) {
    const power = 10 ** Math.floor(Math.log10(rough));
    return [1, 2, 5, 10].map((m) => m * power).find((step) => step >= rough);
  }

  // A length of time in words: "45 s", "59 min", "3.5 h", "12 days".
  function duration(seconds) {
    const units = [[86400 * 365.25, 'years'], [86400, 'days'], [3600, 'h'], [60, 'min'], [1, 's']];
    const [size, name] = units.find(([unit]) => seconds >= unit) || units[units.length - 1];
    const value = seconds / size;
    return `${value < 10 ? Number(value.toPrecision(2)) : Math.round(value)} ${name}`;
  }

  // `value` on an axis of ticks `step` apart: in decimals, or in powers of
  // ten where decimals would be long.
  function valueLabel(value, step) {
    if (Math.abs(value) < step / 2) return '0';
    const decimals = Math.max(0, -Math.floor(Math.log10(step)));
    if (Math.abs(value) >= 1e7 || decimals > 6) {
      const digits = Math.max(0, Math.floor(Math.log10(Math.abs(value))) - Math.floor(Math.log10(step)));
      return value.toExponential(Math.min(digits, 20));
    }
    return value.toFixed(decimals);
  }

  function drawValueAxis(context, box, range) {
    const step = niceStep((range.high - range.low) / 5);
    const lowest = Math.ceil(range.low / step) * step;
    context.textAlign = 'right';
    for (let k = 0, value = lowest; k <= 10 && value <= range.high; k++, value = lowest + k * step) {
      const y = box.y + box.height - (value - range.low) / (range.high - range.low) * box.height;
      context.fillText(valueLabel(value, step), box.x - 6, y + 4);
      context.fillRect(box.x - 3, y, 3, 1);
    }
  }

  // Time labels on round times (QuarvelAxis.roundTimes) where they do not
  // crowd, each left of its mark, or right of it at the end of the axis;
  // the length of each gap cut out, under its break. `clock` is {label
  // (seconds, withMillis) → text, offset (ms) → the zone's offset from UTC
  // in ms}.
  function drawTimeAxis(context, box, axis, clock) {
    let free = -Infinity;
    for (const piece of axis.pieces) {
      for (const mark of QuarvelAxis.roundTimes(piece, LABEL_ROOM, clock.offset)) {
        const atEnd = mark.x > axis.columns - LABEL_ROOM;
        if (mark.x < free || (atEnd && mark.x - LABEL_ROOM < free)) continue;
        context.textAlign = atEnd ? 'right' : 'left';
        context.fillRect(box.x + Math.min(Math.floor(mark.x), axis.columns - 1), box.y + box.height, 1, 4);
        context.fillText(clock.label(mark.time, mark.step < 1000), box.x + mark.x, box.y + box.height + 18);
        free = mark.x + LABEL_ROOM;
      }
    }
    context.textAlign = 'center';
    free = -Infinity;
    for (const cut of axis.breaks) {
      const x = cut.x + cut.width / 2;
      if (x < free) continue;
      context.fillText('+' + duration(cut.gap), box.x + x, box.y + box.height + 36);
      free = x + GAP_LABEL_ROOM;
    }
  }

  // A break: the frame interrupted, with two slanted strokes.
  function drawBreak(context, box, cut) {
    const x = box.x + cut.x;
    context.clearRect(x + 2, box.y - 1, cut.width - 4, box.height + 2);
    context.fillStyle = '#f3f3f3';
    context.fillRect(x + 2, box.y, cut.width - 4, box.height);
    context.beginPath();
    for (const y of [box.y, box.y + box.height]) {
      context.moveTo(x + 1, y + 5);
      context.lineTo(x + 6, y - 5);
      context.moveTo(x + cut.width - 6, y + 5);
      context.lineTo(x + cut.width - 1, y - 5);
    }
    context.stroke();
    context.fillStyle = '#333';
  }

  function drawSeries(context, box, range, s, colour) {
    const yOf = (value) => box.y + box.height - (value - range.low) / (range.high - range.low) * box.height;
    context.strokeStyle = colour;
    context.lineWidth = 1;
    context.beginPath();
    let previous = -1;  // the last column with samples
    for (let i = 0; i < s.min.length; i++) {
      if (s.firstBlock[i] < 0) continue;
      const x = box.x + i + 0.5;
      if (previous >= 0 && s.lastBlock[previous] === s.firstBlock[i]) context.lineTo(x, yOf(s.min[i]));
      else context.moveTo(x, yOf(s.min[i]));
      context.lineTo(x, yOf(s.max[i]) - (s.max[i] === s.min[i] ? 1 : 0));
      previous = i;
    }
    context.stroke();
  }

  // Draws `plot` (QuarvelLogReader.plotFile) on `canvas`, a panel per
  // channel, the canvas as tall as they need; `clock` as for drawTimeAxis.
  // Returns the channels drawn, with their colours and panels.
  function draw(canvas, plot, clock) {
    const shown = plot && plot.axis ? plot.shown : [];
    const height = panelHeight(shown.length);
    canvas.height = MARGIN.top + MARGIN.bottom + Math.max(shown.length, 1) * (height + PANEL_GAP) - PANEL_GAP;
    const context = canvas.getContext('2d');
    context.clearRect(0, 0, canvas.width, canvas.height);
    context.font = '12px sans-serif';
    context.fillStyle = '#333';
    const drawn = shown.map((channel, index) => {
      const colour = COLOURS[index % COLOURS.length];
      const box = { x: MARGIN.left, y: MARGIN.top + index * (height + PANEL_GAP), width: columnsFor(canvas), height };
      const series = plot.series.get(channel);
      const range = valueRange(series);
      context.strokeStyle = '#888';
      context.strokeRect(box.x - 0.5, box.y - 0.5, box.width + 1, box.height + 1);
      plot.axis.breaks.forEach((cut) => drawBreak(context, box, cut));
      context.textAlign = 'left';
      context.fillText(`channel ${channel}` + (range ? '' : ': no finite value'), box.x + 4, box.y + 13);
      if (range) {
        drawValueAxis(context, box, range);
        drawSeries(context, box, range, series, colour);
      }
      return { channel, colour, top: box.y, bottom: box.y + box.height };
    });
    if (drawn.length) {
      const lastBox = { x: MARGIN.left, y: drawn[drawn.length - 1].top, width: columnsFor(canvas), height };
      drawTimeAxis(context, lastBox, plot.axis, clock);
    }
    return drawn;
  }

  return { draw, drawTimeAxis, drawBreak, columnsFor, duration, MARGIN, COLOURS };
})();

if (typeof module === 'object') module.exports = QuarvelPlot;
