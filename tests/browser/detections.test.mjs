import { test } from 'node:test';
import assert from 'node:assert/strict';

import {
  detectionsForFrame,
  DetectionBuffer,
  parseDetections,
  fitTransform,
} from '../../tools/signal/web/detections.js';

const box = (id) => ({ x: 10, y: 20, w: 32, h: 32, id, type: 0 });
const msg = (t, ...ids) => ({ t, det: ids.map(box) });
const ids = (boxes) => boxes.map((b) => b.id);

test('a frame gets the boxes of the message with the largest t strictly below its timestamp', () => {
  const messages = [msg(3000, 3), msg(1000, 1), msg(2000, 2), msg(6000, 6)];
  assert.deepEqual(ids(detectionsForFrame(messages, 4000)), [3]);
  assert.deepEqual(ids(detectionsForFrame(messages, 2500)), [2]);
  // A message whose t equals the frame's timestamp belongs to the next frame.
  assert.deepEqual(ids(detectionsForFrame(messages, 3000)), [2]);
  assert.deepEqual(ids(detectionsForFrame(messages, 1001)), [1]);
});

test('a frame with no message before it, or too old a one, has no boxes', () => {
  assert.deepEqual(detectionsForFrame([msg(5000, 1)], 5000), []);
  assert.deepEqual(detectionsForFrame([msg(5000, 1)], 4000), []);
  assert.deepEqual(detectionsForFrame([], 4000), []);
  assert.deepEqual(detectionsForFrame([msg(1000, 1)], 1000 + 90000, 90000 - 1), []);
  assert.deepEqual(ids(detectionsForFrame([msg(1000, 1)], 1000 + 90000, 90000)), [1]);
});

test('timestamps wrap around at 2^32 in serial-number order', () => {
  const beforeWrap = 0xffffff00;
  const afterWrap = 0x00000100;
  const messages = [msg(0xfffffe00, 1), msg(beforeWrap, 2), msg(0x10, 3), msg(afterWrap, 4)];
  assert.deepEqual(ids(detectionsForFrame(messages, 0x50)), [3]);
  assert.deepEqual(ids(detectionsForFrame(messages, 0x05)), [2]);
  assert.deepEqual(ids(detectionsForFrame(messages, 0xffffff80)), [2]);
  // Half the range ahead is not "before": a message far in the future is never chosen.
  assert.deepEqual(detectionsForFrame([msg(0x80000010, 1)], 0x10, Infinity), []);
});

test('a null det clears the boxes instead of keeping the previous ones', () => {
  const buffer = new DetectionBuffer();
  assert.ok(buffer.push('{"det":[{"h":32,"i":4,"t":1,"w":30,"x":10,"y":20}],"t":1000}'));
  assert.ok(buffer.push('{"det":null,"t":2000}'));
  assert.deepEqual(buffer.forFrame(2000), [{ x: 10, y: 20, w: 30, h: 32, id: 4, type: 1 }]);
  assert.deepEqual(buffer.forFrame(3000), []);
});

test('texts that are not detections messages are refused and kept out of the buffer', () => {
  for (const text of [
    'not json',
    'null',
    '[]',
    '{"det":[]}',
    '{"det":[],"t":-1}',
    '{"det":[],"t":4294967296}',
    '{"det":[],"t":1.5}',
    '{"det":{},"t":1}',
    '{"det":[{"x":1,"y":2,"w":"3","h":4}],"t":1}',
    '{"det":[null],"t":1}',
  ]) {
    assert.equal(parseDetections(text), null, text);
  }
  const buffer = new DetectionBuffer();
  assert.ok(!buffer.push('garbage'));
  assert.equal(buffer.size, 0);
  assert.deepEqual(parseDetections('{"det":[],"t":4294967295}'), { t: 4294967295, det: [] });
});

test('the buffer keeps only the most recent messages', () => {
  const buffer = new DetectionBuffer(3);
  for (let k = 1; k <= 5; ++k) buffer.push(JSON.stringify({ det: [{ x: 0, y: 0, w: 1, h: 1, i: k, t: 0 }], t: k * 1000 }));
  assert.equal(buffer.size, 3);
  assert.deepEqual(buffer.forFrame(1500), []);
  assert.deepEqual(ids(buffer.forFrame(3500)), [3]);
  assert.deepEqual(ids(buffer.forFrame(9000)), [5]);
  buffer.clear();
  assert.deepEqual(buffer.forFrame(9000), []);
});

test('video pixels are letterboxed into the displayed box', () => {
  // 320x240 in 800x400: height limits, 1.666 scale, bars left and right.
  const wide = fitTransform(320, 240, 800, 400);
  assert.equal(wide.scale, 400 / 240);
  assert.equal(wide.y, 0);
  assert.equal(wide.x, (800 - 320 * (400 / 240)) / 2);
  // 640x360 in 320x320: width limits, bars above and below.
  assert.deepEqual(fitTransform(640, 360, 320, 320), { scale: 0.5, x: 0, y: 70 });
  // No picture yet: nothing to draw.
  assert.deepEqual(fitTransform(0, 0, 320, 240), { scale: 0, x: 0, y: 0 });
});
