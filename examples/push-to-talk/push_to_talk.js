// @ts-check
'use strict';
// The reference host: hold the trigger key, speak, release, and the words are pasted into the
// window that has the focus. keyglue reports the key, kavri-transcribe turns speech into text,
// kavri-keysend pastes it. State changes are reported through `report`, one object each.
const { execFile } = require('node:child_process');
const { Transcriber } = require('./transcriber');

// A transcriber that dies before it served a dictation is started again after this delay,
// doubled on every further such death up to the maximum, so a broken setup does not spin.
const kRestartDelayMs = 1000;
const kMaxRestartDelayMs = 30000;

/**
 * @typedef {typeof import('../../native/keyglue')} Keyglue
 * @typedef {{state: 'ready'} | {state: 'recording'} | {state: 'pasted', text: string}
 *   | {state: 'error', message: string}} State
 * @typedef {object} Options
 * @property {Keyglue} keyglue the loaded addon
 * @property {string} transcriber path of kavri-transcribe
 * @property {string} keysend path of kavri-keysend
 * @property {number} triggerKeyCode virtual key code of the trigger key
 * @property {string} locale for example "en-US"
 * @property {string} source "mic", "system" or "both"
 * @property {(state: State) => void} report
 */

class PushToTalk {
  /** @param {Options} options */
  constructor(options) {
    this.options = options;
    /** @type {Transcriber | null} started and waiting for the next press */
    this.spare = null;
    /** @type {Transcriber | null} the one recording while the key is held */
    this.recording = null;
    /** @type {Set<Transcriber>} every process still running */
    this.running = new Set();
    // Pastes run one after another in the order of the dictations: a press while an earlier
    // text is still being pasted starts recording at once, and its text is pasted after it.
    /** @type {Promise<void>} */
    this.pastes = Promise.resolve();
    this.restartDelayMs = kRestartDelayMs;
    /** @type {NodeJS.Timeout | undefined} */
    this.restartTimer = undefined;
    this.stopping = false;
  }

  /** Starts listening; false (with an error reported) when the trigger key cannot be watched. */
  start() {
    const { keyglue, report } = this.options;
    if (!keyglue.isTrusted(true)) {
      report({ state: 'error', message: 'synthetic keystrokes are not allowed: pastes will fail' });
    }
    keyglue.setTriggerKeyCode(this.options.triggerKeyCode);
    if (!keyglue.startFnListener((event) => this.onKey(event))) {
      report({ state: 'error', message: 'the trigger key cannot be watched (no display?)' });
      return false;
    }
    this.spare = this.startTranscriber();
    report({ state: 'ready' });
    return true;
  }

  /** Stops listening, ends every transcriber and waits for a paste under way. */
  async stop() {
    this.stopping = true;
    clearTimeout(this.restartTimer);
    this.options.keyglue.stopFnListener();
    await Promise.all([...this.running].map((transcriber) => transcriber.quit()));
    await this.pastes;
  }

  /** @param {'down' | 'up'} event */
  onKey(event) {
    if (this.stopping) return;
    if (event === 'down') {
      if (this.recording) return;
      // Without a spare (it died and is being restarted) the press starts one of its own.
      this.recording = this.spare ?? this.startTranscriber();
      this.spare = null;
      this.recording.send(`start ${this.options.locale} ${this.options.source}`);
      this.options.report({ state: 'recording' });
    } else if (this.recording) {
      // Also right after a release that came before "started": the transcriber runs "start"
      // and "stop" in order, and its final text is whatever it heard in between.
      this.recording.send('stop');
      this.recording = null;
    }
  }

  startTranscriber() {
    const transcriber = new Transcriber(
      this.options.transcriber,
      (event) => this.onTranscriberEvent(event),
      (why) => this.onTranscriberExit(transcriber, why),
    );
    this.running.add(transcriber);
    return transcriber;
  }

  /** @param {import('./transcriber').TranscriberEvent} event */
  onTranscriberEvent(event) {
    if (event.event === 'final' && !this.stopping) {
      this.restartDelayMs = kRestartDelayMs;
      const text = event.text ?? '';
      this.pastes = this.pastes.then(() => this.paste(text));
    } else if (event.event === 'error') {
      const message = [event.message, event.description].filter(Boolean).join(': ');
      this.options.report({ state: 'error', message });
    }
    // "started" needs nothing; "partial" carries the text so far, for a host that shows it.
  }

  /**
   * @param {Transcriber} transcriber
   * @param {string} why
   */
  onTranscriberExit(transcriber, why) {
    this.running.delete(transcriber);
    if (this.stopping) return;
    if (!transcriber.finished) this.options.report({ state: 'error', message: why });
    if (this.recording === transcriber) this.recording = null;
    if (this.spare === transcriber) {
      this.spare = null;
      this.restartTimer = setTimeout(() => this.replaceSpare(), this.restartDelayMs);
      this.restartDelayMs = Math.min(2 * this.restartDelayMs, kMaxRestartDelayMs);
    } else if (!this.restartTimer) {
      // A dictation ended: its successor loads while the text is being pasted.
      this.replaceSpare();
    }
  }

  replaceSpare() {
    this.restartTimer = undefined;
    if (!this.spare && !this.stopping) this.spare = this.startTranscriber();
  }

  /**
   * Pipes the text to `kavri-keysend paste`, which pastes it into the focused window and puts the
   * previous clipboard string back. An empty text pastes nothing.
   * @param {string} text
   * @returns {Promise<void>}
   */
  paste(text) {
    const { report } = this.options;
    if (text === '') {
      report({ state: 'ready' });
      return Promise.resolve();
    }
    return new Promise((resolve) => {
      const child = execFile(this.options.keysend, ['paste'], (error, _out, errors) => {
        const why = `kavri-keysend paste: ${(errors || error?.message || '').trim()}`;
        report(error ? { state: 'error', message: why } : { state: 'pasted', text });
        resolve();
      });
      // The key sender reads its input to the end before it touches the clipboard.
      child.stdin?.on('error', () => {}).end(text);
    });
  }
}

module.exports = { PushToTalk };
