import { test } from 'node:test';
import assert from 'node:assert/strict';

import { nextPlayout, PLAYOUT } from '../../tools/signal/web/playout.js';

// Feeds samples { at, nacks, lost, rtt } one per second and returns the target after each.
function targets(samples) {
  let state = null;
  return samples.map((s, i) => (state = nextPlayout(state, { at: i * 1000, ...s })).target);
}

test('a clean link keeps the browser its own minimal playout delay', () => {
  // Counters from before the first sample are history, not loss now.
  assert.deepEqual(targets([{ nacks: 40, lost: 9, rtt: 0.05 }, { nacks: 40, lost: 9, rtt: 0.05 }]),
    [null, null]);
  // Counters that fall or vanish (a new connection, a browser without them) are no loss either.
  const reset = [{ nacks: 5, lost: 5 }, { nacks: 0, lost: 0 }, {}, { nacks: 0, lost: 0 }];
  assert.deepEqual(targets(reset), [null, null, null, null]);
});

test('a repair asks for the round trip plus the margin, capped', () => {
  const cases = [
    // [second sample, target]
    [{ nacks: 1, lost: 0, rtt: 0.1 }, 200],
    [{ nacks: 0, lost: 2, rtt: 0.0504 }, 150],
    [{ nacks: 3, lost: 0, rtt: 0.8 }, PLAYOUT.capMs],
    [{ nacks: 1, lost: 0 }, PLAYOUT.unknownRttMs + PLAYOUT.marginMs],
  ];
  for (const [sample, want] of cases) {
    const got = targets([{ nacks: 0, lost: 0, rtt: 0.1 }, sample])[1];
    assert.equal(got, want, JSON.stringify(sample));
  }
});

test('the target grows within a lossy spell and goes after a quiet one', () => {
  const quiet = PLAYOUT.quietMs / 1000;
  const samples = [
    { nacks: 0, lost: 0, rtt: 0.1 },
    { nacks: 2, lost: 0, rtt: 0.2 }, // 300
    { nacks: 3, lost: 0, rtt: 0.05 }, // a short round trip does not lower it
    ...Array.from({ length: quiet - 1 }, () => ({ nacks: 3, lost: 0, rtt: 0.05 })),
    { nacks: 3, lost: 0, rtt: 0.05 }, // quiet for exactly quietMs
    { nacks: 4, lost: 0, rtt: 0.05 }, // a new spell starts from the round trip of now
  ];
  const got = targets(samples);
  assert.deepEqual(got.slice(0, 3), [null, 300, 300]);
  assert.ok(got.slice(3, 2 + quiet).every((t) => t === 300), 'kept until the quiet spell ends');
  assert.deepEqual(got.slice(2 + quiet), [null, 150]);
});
