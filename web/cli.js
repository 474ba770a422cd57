#!/usr/bin/env node
// quarvel compiled to WebAssembly, run under node as the command would run:
// the same arguments, environment (TZ, POSIXLY_INCORRECT_GETOPT), files of
// the current folder, standard output, standard error and exit status.
// Lets the build be compared with the native program byte for byte.
'use strict';
const fs = require('fs');
const createQuarvel = require('./quarvel.js');

// Bytes the program writes to a stream, passed on to a file descriptor.
function byteSink(fd) {
  const buffer = Buffer.alloc(65536);
  let used = 0;
  return {
    put(byte) {
      if (byte === null) return;
      buffer[used++] = byte;
      if (used === buffer.length) this.flush();
    },
    flush() {
      for (let done = 0; done < used;) done += fs.writeSync(fd, buffer, done, used - done);
      used = 0;
    },
  };
}

const out = byteSink(1);
const err = byteSink(2);
const cwd = process.cwd();

createQuarvel({
  thisProgram: 'quarvel',
  noInitialRun: true,
  // Keeps the process alive until the streams are written.
  quit: (status, toThrow) => { throw toThrow; },
  preRun: [(module) => {
    const { FS, ENV } = module;
    for (const [key, value] of Object.entries(process.env)) ENV[key] = value;
    FS.init(() => null, (byte) => out.put(byte), (byte) => err.put(byte));
    FS.mkdirTree(cwd);
    FS.mount(FS.filesystems.NODEFS, { root: cwd }, cwd);
    FS.chdir(cwd);
  }],
}).then((module) => {
  // Arguments arrive as strings: bytes that are not UTF-8 become U+FFFD.
  const status = module.callMain(process.argv.slice(2));
  out.flush();
  err.flush();
  process.exitCode = status;
});
