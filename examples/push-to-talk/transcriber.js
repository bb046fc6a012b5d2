// @ts-check
'use strict';
// One kavri-transcribe process in live mode, driven through its standard streams: command lines
// go in on standard input, JSON event lines come out on standard output. A process serves one
// dictation and exits after it, so the host starts a new one for every dictation.
const { spawn } = require('node:child_process');
const readline = require('node:readline');

// How long a process asked to quit may take before it is killed.
const kQuitTimeoutMs = 2000;

/**
 * An event line of the transcriber, with the keys this host reads ("started", "partial",
 * "final" or "error"; the order of keys in a line is not defined).
 * @typedef {object} TranscriberEvent
 * @property {string} event
 * @property {string} [text] "partial" and "final": the text so far, or the whole text
 * @property {string} [message] "error": a snake_case code word, sometimes with a detail
 * @property {string} [description] "error": the system's wording, when there is one
 */

class Transcriber {
  /**
   * Starts the process at once: it loads its speech model while it waits for "start", so the
   * load never delays the dictation it will serve.
   * @param {string} program path of kavri-transcribe
   * @param {(event: TranscriberEvent) => void} onEvent each event line, in order
   * @param {(why: string) => void} onExit once, after the last event: how the process ended
   */
  constructor(program, onEvent, onExit) {
    /** Set once the "final" event arrived. */
    this.finished = false;
    /** @type {NodeJS.Timeout | undefined} */
    this.killTimer = undefined;
    let spawnError = '';
    this.child = spawn(program, [], { stdio: ['pipe', 'pipe', 'inherit'] });
    /** Resolves once the process has ended and its output has been read. */
    this.closed = new Promise((resolve) => {
      this.child.on('close', (status, signal) => {
        clearTimeout(this.killTimer);
        onExit(spawnError || `kavri-transcribe ended with ${signal ?? `status ${status}`}`);
        resolve(undefined);
      });
    });
    this.child.on('error', (error) => {
      spawnError = `kavri-transcribe could not be started: ${error.message}`;
    });
    // Writing to a process that has just died fails; its end is reported by onExit.
    this.child.stdin.on('error', () => {});
    readline.createInterface({ input: this.child.stdout }).on('line', (line) => {
      /** @type {TranscriberEvent} */
      let event;
      try {
        event = JSON.parse(line);
      } catch {
        event = { event: 'error', message: `unreadable event line: ${line}` };
      }
      if (event.event === 'final') this.finished = true;
      onEvent(event);
    });
  }

  /** @param {string} command one command line: "start <locale> <source>", "stop", "quit" */
  send(command) {
    if (this.child.stdin.writable) this.child.stdin.write(`${command}\n`);
  }

  /** Ends the process without a final event ("quit"), killing it if it does not end in time. */
  quit() {
    this.send('quit');
    this.killTimer = setTimeout(() => this.child.kill('SIGKILL'), kQuitTimeoutMs);
    return this.closed;
  }
}

module.exports = { Transcriber };
