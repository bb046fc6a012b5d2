'use strict';
// Collects what the addon hands to JavaScript. The addon keeps the first callback for the life of
// the process, so one collector serves a whole test file.

// Events queued before this is awaited have all been delivered: a thread-safe function's queue is
// handled in the poll phase, and two check-phase hops always have a poll phase between them.
async function delivered() {
  await new Promise((resolve) => setImmediate(resolve));
  await new Promise((resolve) => setImmediate(resolve));
}

class Collector {
  constructor() {
    this.events = [];
    this.waiters = [];
    this.callback = (event) => {
      this.events.push(event);
      this.waiters = this.waiters.filter(({ count, resolve }) => {
        if (this.events.length < count) return true;
        resolve();
        return false;
      });
    };
  }

  take() {
    const events = this.events;
    this.events = [];
    return events;
  }

  // Resolves once count events are in; the test runner's timeout guards a wait that never ends.
  waitFor(count) {
    if (this.events.length >= count) return Promise.resolve();
    return new Promise((resolve) => this.waiters.push({ count, resolve }));
  }
}

module.exports = { Collector, delivered };
