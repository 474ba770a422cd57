// The plot: calibrated value against time, one line per channel, drawn from
// the worker's least and greatest value per time slot (one slot per pixel
// column), so that millions of samples cost no more than a few thousand.
// Slots of different blocks are not joined: gaps between blocks stay gaps.
'use strict';

const PLOT_COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];
const PLOT_MARGIN = { left: 70, right: 12, top: 12, bottom: 34 };

function plotRange(plot) {
  let low = Infinity;
  let high = -Infinity;
  for (const s of plot.channels.values()) {
    for (let i = 0; i < plot.columns; i++) {
      if (s.firstBlock[i] < 0) continue;
      low = Math.min(low, s.min[i]);
      high = Math.max(high, s.max[i]);
    }
  }
  if (!(low <= high)) return null;
  if (low === high) {
    const pad = Math.max(Math.abs(low) * 1e-3, 1);
    return { low: low - pad, high: high + pad };
  }
  const pad = (high - low) * 0.04;
  return { low: low - pad, high: high + pad };
}

// 1, 2 or 5 times a power of ten, at least `rough`.
function niceStep(rough) {
  const power = 10 ** Math.floor(Math.log10(rough));
  return [1, 2, 5, 10].map((m) => m * power).find((step) => step >= rough);
}

function drawAxes(context, box, range, plot, timeLabel) {
  context.strokeStyle = '#888';
  context.fillStyle = '#333';
  context.font = '12px sans-serif';
  context.strokeRect(box.x, box.y, box.width, box.height);
  const step = niceStep((range.high - range.low) / 5);
  const decimals = Math.max(0, -Math.floor(Math.log10(step)));
  const lowest = Math.ceil(range.low / step) * step;
  for (let k = 0, value = lowest; k <= 10 && value <= range.high; k++, value = lowest + k * step) {
    const y = box.y + box.height - (value - range.low) / (range.high - range.low) * box.height;
    context.textAlign = 'right';
    context.fillText(Math.abs(value) < step / 2 ? '0' : value.toFixed(Math.min(decimals, 20)), box.x - 6, y + 4);
    context.fillRect(box.x - 3, y, 3, 1);
  }
  for (let k = 0; k <= 2; k++) {
    const x = box.x + box.width * k / 2;
    context.textAlign = ['left', 'center', 'right'][k];
    context.fillText(timeLabel(plot.first + (plot.last - plot.first) * k / 2), x, box.y + box.height + 20);
  }
}

function drawSeries(context, box, range, plot, s, colour) {
  const yOf = (value) => box.y + box.height - (value - range.low) / (range.high - range.low) * box.height;
  const xOf = (column) => box.x + (column + 0.5) * box.width / plot.columns;
  context.strokeStyle = colour;
  context.lineWidth = 1;
  context.beginPath();
  for (let i = 0; i < plot.columns; i++) {
    if (s.firstBlock[i] < 0) continue;
    const x = xOf(i);
    const joined = i > 0 && s.lastBlock[i - 1] >= 0 && s.lastBlock[i - 1] === s.firstBlock[i];
    if (joined) context.lineTo(x, yOf(s.min[i]));
    else context.moveTo(x, yOf(s.min[i]));
    context.lineTo(x, yOf(s.max[i]) - (s.max[i] === s.min[i] ? 1 : 0));
  }
  context.stroke();
}

// Draws `plot` (see the worker's plotData) on `canvas`; `timeLabel` renders
// seconds since the epoch. Returns the channels drawn, with their colours.
function drawPlot(canvas, plot, timeLabel) {
  const context = canvas.getContext('2d');
  context.clearRect(0, 0, canvas.width, canvas.height);
  const legend = [];
  const range = plot && plotRange(plot);
  if (!range) return legend;
  const box = {
    x: PLOT_MARGIN.left, y: PLOT_MARGIN.top,
    width: canvas.width - PLOT_MARGIN.left - PLOT_MARGIN.right,
    height: canvas.height - PLOT_MARGIN.top - PLOT_MARGIN.bottom,
  };
  drawAxes(context, box, range, plot, timeLabel);
  [...plot.channels.keys()].sort((a, b) => a - b).forEach((channel, index) => {
    const colour = PLOT_COLOURS[index % PLOT_COLOURS.length];
    drawSeries(context, box, range, plot, plot.channels.get(channel), colour);
    legend.push({ channel, colour });
  });
  return legend;
}
