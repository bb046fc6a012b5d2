'use strict';
// The three deliverables together, as a host uses them: the right Control key held with XTest,
// "go forward ten meters" played into the virtual microphone, the key released, and the words
// must arrive in the focused window with the previous clipboard string back afterwards.
const assert = require('node:assert/strict');
const { after, before, describe, it } = require('node:test');
const { Desktop, alive, childrenOf, exited, waitFor } = require('./desktop');

const kPrevious = 'previous clipboard — ü€';

// The words of a text, lower case, without punctuation.
function words(text) {
  return text.toLowerCase().match(/[a-z']+/g)?.join(' ') ?? '';
}

describe('push-to-talk dictation on a private desktop', () => {
  /** @type {Desktop} */
  let desktop;
  let host;

  before(async () => {
    desktop = await Desktop.start();
    await desktop.setClipboard(kPrevious);
    host = desktop.startHost();
    await host.next('ready');
  });
  after(() => desktop?.stop());

  // Holds the trigger while the recording plays into the microphone. Playing starts once the
  // transcriber captures, as a speaker would wait for the recording indicator.
  async function dictate() {
    desktop.key('keydown');
    await host.next('recording');
    await waitFor(() => desktop.recordStreams() > 0, 'the transcriber to capture');
    await desktop.play();
    desktop.key('keyup');
  }

  it('pastes two dictations, the second pressed while the first is being pasted', async () => {
    await dictate();
    // kavri-keysend has pressed Control+V and waits to put the previous string back.
    await waitFor(() => desktop.pastes().length === 1, 'the first paste');
    await dictate();
    assert.match(words((await host.next('pasted')).text), /go forward ten meters/);
    assert.match(words((await host.next('pasted')).text), /go forward ten meters/);
    const pastes = desktop.pastes();
    assert.equal(pastes.length, 2);
    for (const text of pastes) assert.match(words(text), /go forward ten meters/);
    assert.equal(desktop.clipboard(), kPrevious);
  });

  it('replaces a transcriber that dies, and pastes nothing for an empty dictation', async () => {
    const [spare] = await waitFor(() => host.transcribers(), 'a spare transcriber');
    process.kill(spare, 'SIGKILL');
    assert.match((await host.next('error')).message, /SIGKILL/);
    await waitFor(() => host.transcribers().some((pid) => pid !== spare), 'the transcriber to be started again');
    // Released at once, before the transcriber can have started: nothing heard, nothing pasted.
    desktop.key('keydown');
    desktop.key('keyup');
    await host.next('recording');
    await host.next('ready');
    assert.equal(desktop.pastes().length, 2);
    assert.equal(host.states.filter((line) => line.state === 'error').length, 1, JSON.stringify(host.states));
  });

  it('ends on SIGTERM without leaving a child process', async () => {
    const transcribers = await waitFor(() => host.transcribers(), 'a spare transcriber');
    const children = childrenOf(host.child.pid);
    host.child.kill('SIGTERM');
    assert.equal(await exited(host.child), 0);
    assert.ok(transcribers.every((pid) => children.includes(pid)));
    assert.deepEqual(children.filter(alive), []);
  });
});
