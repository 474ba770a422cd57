// The program's options, in one table: what each letter does in the user's
// words, how the page's controls show it, and how a command line sets it.
// The controls, the typed options and the command shown all come from here.
const QuarvelOptions = (() => {
  'use strict';

  // kind: 'field' (a column of the records; `clears`: on by default, the
  // letter turns it off), 'headers' (when header lines are written), 'value'
  // (takes a number), 'flag'.
  const OPTIONS = [
    { letter: 't', kind: 'field', words: 'time of the sample' },
    { letter: 'c', kind: 'field', words: 'channel' },
    { letter: 'p', kind: 'field', words: 'sample period' },
    { letter: 'N', kind: 'field', words: 'number of samples of the block' },
    { letter: 'g', kind: 'field', words: 'calibration gain' },
    { letter: 'o', kind: 'field', words: 'calibration offset' },
    { letter: 'r', kind: 'field', words: 'raw count' },
    { letter: 'C', kind: 'field', words: 'calibrated value', clears: true },
    { letter: 's', kind: 'headers', words: 'before the first block only' },
    { letter: 'S', kind: 'headers', words: 'none' },
    { letter: 'n', kind: 'value', words: 'write one sample in every N of each block' },
    { letter: 'q', kind: 'flag', words: 'quiet: no banner and no block summaries on the console' },
    { letter: 'd', kind: 'flag', words: 'debug: the settings, each file\'s name, and why a file could not be opened' },
  ];
  const BY_LETTER = new Map(OPTIONS.map((option) => [option.letter, option]));
  const FIELDS = OPTIONS.filter((option) => option.kind === 'field');
  const MODULUS_DEFAULT = 1;

  // The settings the program starts with: for each field letter whether the
  // column is written, the header letter ('' for every block), the
  // modulus and the flags.
  function defaultSettings() {
    const settings = { headers: '', modulus: MODULUS_DEFAULT, q: false, d: false };
    for (const field of FIELDS) settings[field.letter] = Boolean(field.clears);
    return settings;
  }

  // The number at the start of `text` as the program reads -n: white
  // space, a sign, digits; null when there is none or it leaves 32 bits.
  function leadingNumber(text) {
    const match = /^[ \t\n\v\f\r]*([+-]?\d+)/.exec(text);
    if (!match) return null;
    const value = Number(match[1]);
    return value >= -2147483648 && value <= 2147483647 ? value : null;
  }

  // Scans command-line words as the program scans its options. Returns the
  // settings they give, the unknown letters, whether -n lacks its value,
  // and the words that are not options (which the page does not pass on:
  // its file operands are the chosen files).
  function scanWords(words) {
    const settings = defaultSettings();
    const result = { settings, unknown: [], missingValue: false, notOptions: [] };
    for (let i = 0; i < words.length; i++) {
      const word = words[i];
      if (!word.startsWith('-') || word === '-' || word.startsWith('--')) {
        result.notOptions.push(word);
        continue;
      }
      for (let k = 1; k < word.length; k++) {
        const option = BY_LETTER.get(word[k]);
        if (option === undefined) result.unknown.push(word[k]);
        else if (option.kind === 'value') {
          const value = k + 1 < word.length ? word.slice(k + 1) : words[++i];
          if (value === undefined) result.missingValue = true;
          else if (leadingNumber(value) !== null) settings.modulus = leadingNumber(value);
          break;
        } else if (option.kind === 'field') settings[option.letter] = !option.clears;
        else if (option.kind === 'headers') settings.headers = option.letter;
        else settings[option.letter] = true;
      }
    }
    return result;
  }

  // The shortest words that give `settings`: one group of letters in the
  // table's order, and -n N unless N is the default.
  function optionWords(settings) {
    let letters = '';
    for (const option of OPTIONS) {
      if (option.kind === 'field' && settings[option.letter] !== Boolean(option.clears)) letters += option.letter;
      else if (option.kind === 'headers' && settings.headers === option.letter) letters += option.letter;
      else if (option.kind === 'flag' && settings[option.letter]) letters += option.letter;
    }
    const words = letters ? ['-' + letters] : [];
    if (String(settings.modulus) !== String(MODULUS_DEFAULT)) words.push('-n', String(settings.modulus));
    return words;
  }

  // Words of a command line, with '…', "…" and \ quoting as a shell has.
  function splitWords(text) {
    const words = [];
    let word = null;
    let quote = null;
    for (let i = 0; i < text.length; i++) {
      const ch = text[i];
      if (quote) {
        if (ch === quote) quote = null;
        else if (ch === '\\' && quote === '"' && i + 1 < text.length) word += text[++i];
        else word += ch;
      } else if (ch === "'" || ch === '"') {
        quote = ch;
        word = word ?? '';
      } else if (ch === '\\' && i + 1 < text.length) {
        word = (word ?? '') + text[++i];
      } else if (/\s/.test(ch)) {
        if (word !== null) words.push(word);
        word = null;
      } else {
        word = (word ?? '') + ch;
      }
    }
    if (word !== null) words.push(word);
    return words;
  }

  // `word` as a shell reads it back.
  function quoteWord(word) {
    return /^[A-Za-z0-9_.,:+=@%/-]+$/.test(word) ? word : "'" + word.replace(/'/g, "'\\''") + "'";
  }

  // The command that does what the page does: the zone, the options, then
  // -- and the files, named when they are few.
  function commandText(optionsWords, utc, names) {
    const operands = names.length > 0 && names.length <= 3 ? names.map(quoteWord) : ['FILE...'];
    return (utc ? 'TZ=UTC ' : '') + ['quarvel', ...optionsWords.map(quoteWord), '--', ...operands].join(' ');
  }

  // "every sample", "every 2nd sample", ..., as -n N selects them (a
  // negative N as its magnitude).
  function everyNth(modulus) {
    const n = Math.abs(modulus);
    if (n === 1) return 'every sample';
    const tens = n % 100;
    const suffix = tens >= 11 && tens <= 13 ? 'th' : ['th', 'st', 'nd', 'rd'][n % 10] || 'th';
    return `every ${n.toLocaleString('en-US')}${suffix} sample`;
  }

  return { OPTIONS, FIELDS, defaultSettings, leadingNumber, scanWords, optionWords, splitWords, quoteWord, commandText,
    everyNth };
})();

if (typeof module === 'object') module.exports = QuarvelOptions;
