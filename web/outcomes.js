// What became of each file of a run, read from what the program wrote on
// standard error. Every message about a file names it as it was given, and
// the program takes its files in order: a message belongs to the first
// file, from the one the last message named on, whose name completes it.
// Names are matched whole, so a name with a newline or a colon is no
// trouble.
/* global QuarvelBlocks */
const QuarvelOutcomes = (() => {
  'use strict';

  // The program's messages about one file (src/messages.h): the words
  // before the name, and after it. `reason`: debug mode follows it with a
  // line "reason: ...". The page's tests take the words from here.
  const MESSAGES = {
    openInput: { before: 'failed to open input file ', after: '\n', kind: 'failed', what: 'could not be opened',
      reason: true },
    openOutput: { before: 'failed to open output file ', after: '.txt\n', kind: 'failed',
      what: 'its text file could not be opened', reason: true },
    ownText: { before: 'input file ', after: ' is a text file written by quarvel, not a logger file\n', kind: 'failed',
      what: 'it is a text file written by quarvel, not a logger file', notLog: true },
    truncated: { before: 'truncated block in input file ', after: ': ', kind: 'cut',
      counts: /^(\d+) of (-?\d+) samples read\n/ },
    readFailed: { before: 'failed to read input file ', after: '\n', kind: 'failed',
      what: 'could not be read to its end' },
    writeFailed: { before: 'failed to write output file ', after: '.txt\n', kind: 'failed',
      what: 'its text file could not be written' },
  };
  const REASON = 'reason: ';

  // The message of `MESSAGES` at `at` in `text` for a file of `names` from
  // `from` on: {file, message, end, read, declared}, or null.
  function messageAt(text, at, names, from) {
    for (const message of Object.values(MESSAGES)) {
      if (!text.startsWith(message.before, at)) continue;
      const nameAt = at + message.before.length;
      for (let file = from; file < names.length; file++) {
        if (!text.startsWith(names[file] + message.after, nameAt)) continue;
        let end = nameAt + names[file].length + message.after.length;
        const found = { file, message, end };
        if (message.counts) {
          const counts = message.counts.exec(text.slice(end, end + 64));
          if (!counts) continue;
          found.read = Number(counts[1]);
          found.declared = Number(counts[2]);
          end += counts[0].length;
        }
        found.end = end;
        return found;
      }
    }
    return null;
  }

  // Reads standard error `text` of a run over the files `names` (as given
  // to the program). Returns, per file, its messages ({kind, what, reason,
  // read, declared, text, opening: a failure to open the file, which debug
  // mode says the reason for}), and the lines about no one file (option
  // errors, the usage text, a failure to write standard output).
  function readMessages(text, names) {
    const files = names.map(() => []);
    const general = [];
    let from = 0;
    for (let at = 0; at < text.length;) {
      const found = messageAt(text, at, names, from);
      if (found === null) {
        const lineEnd = text.indexOf('\n', at);
        const end = lineEnd < 0 ? text.length : lineEnd + 1;
        general.push(text.slice(at, end));
        at = end;
        continue;
      }
      const { message } = found;
      const entry = { kind: message.kind, what: message.what, notLog: Boolean(message.notLog),
        opening: Boolean(message.reason), text: text.slice(at, found.end) };
      if (message.counts) Object.assign(entry, { read: found.read, declared: found.declared });
      at = found.end;
      if (message.reason && text.startsWith(REASON, at)) {
        const lineEnd = text.indexOf('\n', at);
        const end = lineEnd < 0 ? text.length : lineEnd + 1;
        entry.reason = text.slice(at + REASON.length, lineEnd < 0 ? end : lineEnd);
        entry.text += text.slice(at, end);
        at = end;
      }
      files[found.file].push(entry);
      from = found.file;
    }
    return { files, general };
  }

  // The outcome of each file: `messages` as readMessages gives them, per
  // file what the worker saw of its text file ({produced, records, size}
  // or null), its first block header (QuarvelBlocks.header, or null) and
  // what its readings show (QuarvelQuality.fileFlags, or null).
  // Kinds: 'converted' (`records` may be 0: no samples), 'cut' (cut short:
  // `read` of `declared` samples in its last block), 'stranger' (probably
  // not a logger file: cut short, and its first header names a channel
  // that no logger has; `header` that header), 'failed' (not converted, or
  // not to its end: `what`, `reason`; `notLog` for quarvel's own text), and
  // 'skipped' (the program did not get to it). A file converted or cut
  // short whose readings are clipped, stuck or dead has them as `quality`
  // (null otherwise).
  function outcomes(messages, outputs, firstHeaders = [], qualities = []) {
    return messages.map((entries, index) => {
      const output = outputs[index] || null;
      const header = firstHeaders[index] || null;
      const failed = entries.find((entry) => entry.kind === 'failed');
      const cut = entries.find((entry) => entry.kind === 'cut');
      const outcome = { kind: 'converted', records: output ? output.records : 0, size: output ? output.size : 0,
        produced: Boolean(output && output.produced), messages: entries };
      if (failed) {
        Object.assign(outcome, { kind: 'failed', what: failed.what, reason: failed.reason, notLog: failed.notLog });
      }
      else if (cut) {
        const stranger = header !== null && QuarvelBlocks.strangeChannel(header.channel);
        Object.assign(outcome, { kind: stranger ? 'stranger' : 'cut', read: cut.read, declared: cut.declared, header });
      } else if (!outcome.produced) outcome.kind = 'skipped';
      const quality = qualities[index] || null;
      outcome.quality = (outcome.kind === 'converted' || outcome.kind === 'cut') && quality && quality.any ? quality
        : null;
      return outcome;
    });
  }

  // How many files had each outcome; `empty`: converted with no samples;
  // `flagged`: with readings clipped, stuck or dead, and how many of each.
  function countKinds(list) {
    const counts = { converted: 0, empty: 0, cut: 0, stranger: 0, failed: 0, skipped: 0, flagged: 0, clipped: 0,
      stuck: 0, dead: 0 };
    for (const outcome of list) {
      counts[outcome.kind]++;
      if (outcome.kind === 'converted' && outcome.records === 0) counts.empty++;
      if (!outcome.quality) continue;
      counts.flagged++;
      for (const flag of ['clipped', 'stuck', 'dead']) if (outcome.quality[flag]) counts[flag]++;
    }
    return counts;
  }

  // Whether an outcome is one the user should look at.
  function isProblem(outcome) {
    return outcome.kind !== 'converted' || outcome.records === 0 || Boolean(outcome.quality);
  }

  return { MESSAGES, REASON, readMessages, outcomes, countKinds, isProblem };
})();

if (typeof module === 'object') module.exports = QuarvelOutcomes;
