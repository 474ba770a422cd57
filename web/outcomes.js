// What became of each file of a run, from the record that the program
// hands the worker for each file it takes (src/outcome.h, and
// src/system_emscripten.js: {index, end, message, refusal, reason, cut,
// said}), whose words are those of src/messages.h; and the files that are
// probably not logger files.
/* global QuarvelBlocks */
const QuarvelOutcomes = (() => {
  'use strict';

  // The page's words for a file whose turn ended otherwise than converted
  // (the record's `end`); a refusal of the input says it in its message's
  // words.
  const FAILURES = {
    openInput: 'could not be opened',
    openOutput: 'its text file could not be opened',
    readFailed: 'could not be read to its end',
    writeFailed: 'its text file could not be written',
  };

  // A refusal's message (a printf format), from the name on, said of "it":
  // "it is a text file written by quarvel, not a logger file".
  const refusalWords = (message) => 'it' + message.slice(message.indexOf('%s') + 2).trimEnd();

  // The lines of standard error `text` about no one file (option errors,
  // the usage text, a failure to write standard output): all but what the
  // records said of their files, which it holds in their order.
  function generalLines(text, records) {
    const rest = [];
    let at = 0;
    for (const record of records) {
      const found = record && record.said ? text.indexOf(record.said, at) : -1;
      if (found < 0) continue;
      rest.push(text.slice(at, found));
      at = found + record.said.length;
    }
    rest.push(text.slice(at));
    return rest.join('').split(/(?<=\n)/).filter((line) => line !== '');
  }

  // The outcome of each file: per file its record (or null: the program
  // did not get to it), what the worker saw of its text file ({produced,
  // records, size} or null), its first block header (QuarvelBlocks.header,
  // or null) and what its readings show (QuarvelQuality.fileFlags, or
  // null). Kinds: 'converted' (`records` may be 0: no samples), 'cut' (cut
  // short: `read` of `declared` samples in its last block), 'stranger'
  // (probably not a logger file: cut short, and its first header names a
  // channel that no logger has; `header` that header), 'failed' (not
  // converted, or not to its end: `what`, and `reason` where it could not
  // be opened; `notLog` for quarvel's own text), and 'skipped' (the
  // program did not get to it). A file converted or cut short whose
  // readings are clipped, stuck or dead has them as `quality` (null
  // otherwise).
  function outcomes(records, outputs, firstHeaders = [], qualities = []) {
    return records.map((record, index) => {
      const output = outputs[index] || null;
      const header = firstHeaders[index] || null;
      const outcome = { kind: 'converted', records: output ? output.records : 0, size: output ? output.size : 0,
        produced: Boolean(output && output.produced) };
      if (!record) outcome.kind = 'skipped';
      else if (record.end !== 'converted') {
        Object.assign(outcome, { kind: 'failed', reason: record.reason || undefined,
          what: record.end === 'refused' ? refusalWords(record.message) : FAILURES[record.end],
          notLog: record.refusal === 'INPUT_IS_OWN_TEXT' });
      } else if (record.cut) {
        const stranger = header !== null && QuarvelBlocks.strangeChannel(header.channel);
        Object.assign(outcome, { kind: stranger ? 'stranger' : 'cut', read: record.cut.read,
          declared: record.cut.declared, header });
      }
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

  return { generalLines, outcomes, countKinds, isProblem };
})();

if (typeof module === 'object') module.exports = QuarvelOutcomes;
