import { test } from 'node:test';
import assert from 'node:assert/strict';

import { pairRecordingFiles, Sidecar } from '../../tools/signal/web/recording.js';

const names = (files) => files.map((f) => f?.name ?? null);

test('each video is paired with the sidecar of its stem; what fits no video is left over', () => {
  const picked = ['b.webm', 'a.JSONL', 'a.webm', 'c.jsonl', 'notes.txt', 'a.b.webm', 'a.b.jsonl']
    .map((name) => ({ name }));
  const { pairs, leftovers } = pairRecordingFiles(picked);
  assert.deepEqual(pairs.map((p) => p.stem), ['b', 'a', 'a.b']);
  assert.deepEqual(names(pairs.map((p) => p.sidecar)), [null, 'a.JSONL', 'a.b.jsonl']);
  assert.deepEqual(leftovers, ['notes.txt', 'c.jsonl']);
});

const line = (t, id) => JSON.stringify({ det: [{ h: 4, i: id, t: 0, w: 4, x: id, y: 0 }], t });
const idAt = (sidecar, tick) => sidecar.messageForFrame(tick)?.det[0]?.id ?? null;

test('a frame gets its own line by time, in any order, and nothing where its line is missing', () => {
  // 25 frames a second, written out of order, frame 3's line broken, a blank line at the end.
  const rows = [line(7200, 2), line(0, 0), line(3600, 1), '{"det":[],"t":-5}', line(14400, 4), 'x', ''];
  const sidecar = new Sidecar(rows.join('\n'));
  assert.equal(sidecar.skipped, 2);
  assert.equal(sidecar.truncated, false);
  // Frame times to the millisecond either way still find the frame's line.
  for (const [tick, id] of [[7200, 2], [0, 0], [3690, 1], [14310, 4], [10800, null], [9000, null]]) {
    assert.equal(idAt(sidecar, tick), id, `tick ${tick}`);
  }
  assert.deepEqual(new Sidecar('{"det":null,"t":3600}').messageForFrame(3600), { t: 3600, det: [] });
});

test('a sidecar held only in part drops its cut-off line and what is past the line cap', () => {
  const whole = [line(0, 0), line(3600, 1), line(7200, 2)].join('\n');
  const cut = new Sidecar(`${whole}\n{"det":[{"h"`, true);
  assert.deepEqual([cut.lines.length, cut.skipped, cut.truncated], [3, 0, true]);
  const capped = new Sidecar(whole, false, 2);
  assert.deepEqual([0, 3600, 7200].map((t) => idAt(capped, t)).concat(capped.truncated), [0, 1, null, true]);
});
