// Detection boxes arrive on the data channel, one message per video frame, and have to be drawn
// on the frame they describe. A message's "t" is the RTP timestamp of the frame *before* its own,
// so the boxes of a displayed frame with timestamp T are those of the message with the largest
// "t" strictly before T. RTP timestamps are 32-bit and wrap, so "before" is serial-number order.

const HALF_RANGE = 0x80000000;

/** Ticks from a to b, going forwards modulo 2^32 (0 .. 2^32-1). */
export function rtpDistance(a, b) {
  return (b - a) >>> 0;
}

// 90 kHz video clock: three seconds. A message older than this relative to the displayed frame
// describes a picture that is long gone (detections stopped, or the stream restarted with a new
// timestamp base), so the frame is shown without boxes rather than with stale ones.
export const DEFAULT_MAX_AGE_TICKS = 3 * 90000;

/**
 * Parses one data-channel text. Returns {t, det} with det an array of boxes ([] for null), or
 * null when the text is not a detections message (it is then ignored, not fatal).
 */
export function parseDetections(text) {
  let msg;
  try {
    msg = JSON.parse(text);
  } catch {
    return null;
  }
  if (msg === null || typeof msg !== 'object') return null;
  const t = msg.t;
  if (!Number.isInteger(t) || t < 0 || t > 0xffffffff) return null;
  if (msg.det === null) return { t, det: [] };
  if (!Array.isArray(msg.det)) return null;
  const det = [];
  for (const b of msg.det) {
    if (b === null || typeof b !== 'object') return null;
    const { x, y, w, h, i, t: type } = b;
    if (![x, y, w, h].every(Number.isFinite)) return null;
    det.push({ x, y, w, h, id: i, type });
  }
  return { t, det };
}

/**
 * The message describing the frame with RTP timestamp rtpTimestamp: the one whose t is the
 * closest strictly before it, within maxAge ticks; null when none qualifies.
 */
export function messageForFrame(messages, rtpTimestamp, maxAge = DEFAULT_MAX_AGE_TICKS) {
  let best = null;
  let bestDistance = Infinity;
  for (const m of messages) {
    const d = rtpDistance(m.t, rtpTimestamp);
    if (d === 0 || d >= HALF_RANGE || d > maxAge) continue;
    if (d < bestDistance) {
      best = m;
      bestDistance = d;
    }
  }
  return best;
}

/** Boxes for the frame with RTP timestamp rtpTimestamp; [] when it has none. */
export function detectionsForFrame(messages, rtpTimestamp, maxAge = DEFAULT_MAX_AGE_TICKS) {
  return messageForFrame(messages, rtpTimestamp, maxAge)?.det ?? [];
}

/** The most recent messages of one stream, in arrival order, at most `capacity` of them. */
export class DetectionBuffer {
  constructor(capacity = 120, maxAge = DEFAULT_MAX_AGE_TICKS) {
    this.capacity = capacity;
    this.maxAge = maxAge;
    this.messages = [];
  }

  /** Adds a data-channel text; returns false (and keeps nothing) when it is not a message. */
  push(text) {
    const m = parseDetections(text);
    if (!m) return false;
    this.messages.push(m);
    if (this.messages.length > this.capacity) {
      this.messages.splice(0, this.messages.length - this.capacity);
    }
    return true;
  }

  forFrame(rtpTimestamp) {
    return detectionsForFrame(this.messages, rtpTimestamp, this.maxAge);
  }

  messageForFrame(rtpTimestamp) {
    return messageForFrame(this.messages, rtpTimestamp, this.maxAge);
  }

  clear() {
    this.messages = [];
  }

  get size() {
    return this.messages.length;
  }
}

/**
 * Maps video pixels to the element's CSS pixels when the video is letterboxed into it
 * (object-fit: contain): returns {scale, x, y} with display = video * scale + offset.
 */
export function fitTransform(videoWidth, videoHeight, boxWidth, boxHeight) {
  if (!(videoWidth > 0 && videoHeight > 0 && boxWidth > 0 && boxHeight > 0)) {
    return { scale: 0, x: 0, y: 0 };
  }
  const scale = Math.min(boxWidth / videoWidth, boxHeight / videoHeight);
  return {
    scale,
    x: (boxWidth - videoWidth * scale) / 2,
    y: (boxHeight - videoHeight * scale) / 2,
  };
}
