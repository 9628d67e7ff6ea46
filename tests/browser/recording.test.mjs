import { test } from 'node:test';
import assert from 'node:assert/strict';

import { pairRecordingFiles, Sidecar } from '../../tools/signal/web/recording.js';

test('each video is paired with the sidecar of its stem; what fits no video is left over', () => {
  const picked = ['b.webm', 'a.JSONL', 'a.webm', 'c.jsonl', 'x.txt', 'a.b.webm', 'a.b.jsonl'];
  const { pairs, leftovers } = pairRecordingFiles(picked.map((name) => ({ name })));
  assert.deepEqual(pairs.map((p) => [p.stem, p.sidecar?.name]),
    [['b', undefined], ['a', 'a.JSONL'], ['a.b', 'a.b.jsonl']]);
  assert.deepEqual(leftovers, ['x.txt', 'c.jsonl']);
});

const line = (t, i) => JSON.stringify({ det: [{ h: 4, i, t: 0, w: 4, x: i, y: 0 }], t });
const idsAt = (sidecar, ticks) => ticks.map((t) => sidecar.messageForFrame(t)?.det[0]?.id ?? null);

test('a frame gets its own line by time, in any order, and none where its line is missing', () => {
  // Frames every 3600 ticks, out of order, frame 3's line malformed, frame 4's a millisecond off.
  const rows = [line(7200, 2), line(0, 0), line(3600, 1), '{"det":[],"t":-5}', line(14310, 4), 'x'];
  const sidecar = new Sidecar(`${rows.join('\n')}\n`);
  assert.deepEqual([sidecar.skipped, sidecar.truncated], [2, false]);
  assert.deepEqual(idsAt(sidecar, [7200, 0, 3690, 14400, 10800, 9000]), [2, 0, 1, 4, null, null]);
});

test('a sidecar held only in part drops its cut-off line and what is past the line cap', () => {
  const whole = [line(0, 0), line(3600, 1), line(7200, 2)].join('\n');
  const cut = new Sidecar(`${whole}\n{"det":[{"h"`, true);
  assert.deepEqual([cut.lines.length, cut.skipped, cut.truncated], [3, 0, true]);
  const capped = new Sidecar(whole, false, 2);
  assert.deepEqual([...idsAt(capped, [0, 3600, 7200]), capped.truncated], [0, 1, null, true]);
});
