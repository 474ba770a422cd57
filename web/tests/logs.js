// Logger files for the page's tests: blocks of a 24-byte big-endian header
// and 16-bit big-endian samples.
'use strict';

function floatBits(value) {
  const view = new DataView(new ArrayBuffer(4));
  view.setFloat32(0, value);
  return view.getUint32(0);
}

// A block; `count` defaults to the number of samples (set it otherwise for
// a block cut short). Gain and offset are binary32 bit patterns.
function block({ channel = 3, period = 500, time = 1 << 30, count, gain = floatBits(0.5), offset = floatBits(1),
  samples }) {
  const bytes = Buffer.alloc(24 + 2 * samples.length);
  bytes.writeInt32BE(channel, 0);
  bytes.writeUInt32BE(period, 4);
  bytes.writeInt32BE(time, 8);
  bytes.writeInt32BE(count === undefined ? samples.length : count, 12);
  bytes.writeUInt32BE(gain, 16);
  bytes.writeUInt32BE(offset, 20);
  samples.forEach((sample, i) => bytes.writeInt16BE(sample, 24 + 2 * i));
  return bytes;
}

function logFile(blocks) {
  return Buffer.concat(blocks);
}

// A noisy sine wave of `count` raw counts; `seed` varies its phase and noise, `stretch` its period.
function sineSamples(count, seed, stretch = 1) {
  const samples = new Array(count);
  let noise = seed * 7919 + 1;
  for (let i = 0; i < count; i++) {
    noise = (noise * 1103515245 + 12345) % 2147483648;
    const wave = 12000 * Math.sin(i / ((40 + 13 * seed) * stretch) + seed);
    samples[i] = Math.max(-32768, Math.min(32767, Math.round(wave + (noise % 2001) - 1000)));
  }
  return samples;
}

// Small log number `index` of a batch: one block of 3 to 9 samples, its
// channel, time and calibration varying with `index`.
function smallLog(index) {
  const count = 3 + (index % 7);
  return logFile([block({ channel: index % 16, period: 100 + index % 900, time: 1796083200 + 60 * index,
    gain: floatBits(0.001 * (1 + index % 5)), offset: floatBits(index % 3 - 1), samples: sineSamples(count, index) })]);
}

// Log number `index` of a campaign: one block per channel 0 to 3 with
// `total` samples in all (2,000 to 20,000 by default), an hour after the
// log before, and six hours missing after every 97th.
function campaignLog(index, total = 2000 + (index * 7919) % 18001) {
  const start = 1796083200 + 3600 * (index + 6 * Math.floor(index / 97));
  return logFile([0, 1, 2, 3].map((channel) => block({ channel, period: [100, 250, 500, 500][channel], time: start,
    gain: floatBits(0.0003 * (1 + 3 * channel)), offset: floatBits(channel * 5 - 2),
    samples: sineSamples(Math.floor(total / 4) + (channel < total % 4 ? 1 : 0), index + channel) })));
}

module.exports = { floatBits, block, logFile, sineSamples, smallLog, campaignLog };
