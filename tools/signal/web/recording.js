// Recordings opened from disk: a WebM file per segment and, beside it, a sidecar of the same stem
// with one detections line per recorded frame, whose "t" is that frame's time in the file in
// 90 kHz ticks. Boxes are matched to the displayed frame by time, never by order, so seeking
// anywhere shows the boxes of the frame on screen.

import { messageForFrame, parseDetections } from './detections.js';

export const TICKS_PER_SECOND = 90000;

// A sidecar is the user's file and may be anything: what is held of it stays bounded. 32 MiB
// covers hours of frames with a few boxes each; a longer one keeps its beginning.
export const MAX_SIDECAR_BYTES = 32 * 1024 * 1024;
export const MAX_SIDECAR_LINES = 300000;

// WebM keeps frame times to the millisecond: a line less than that away from the frame's own
// tick is the frame's, while the neighbouring frames are several milliseconds off.
const SLACK_TICKS = 90;

export function mediaTimeToTicks(seconds) {
  return Math.round(seconds * TICKS_PER_SECOND);
}

function splitName(name) {
  const dot = name.lastIndexOf('.');
  if (dot <= 0) return { stem: name, extension: '' };
  return { stem: name.slice(0, dot), extension: name.slice(dot + 1).toLowerCase() };
}

/**
 * Pairs picked files by stem: every .webm with the .jsonl of the same stem, if there is one.
 * Returns {pairs: [{stem, video, sidecar}] in picking order, sidecar null when missing, and
 * leftovers: names of the files that belong to no video}.
 */
export function pairRecordingFiles(files) {
  const videos = [];
  const sidecars = new Map();
  const leftovers = [];
  for (const file of files) {
    const { stem, extension } = splitName(file.name);
    if (extension === 'webm') videos.push({ stem, video: file });
    else if (extension === 'jsonl' && !sidecars.has(stem)) sidecars.set(stem, file);
    else leftovers.push(file.name);
  }
  const pairs = videos.map(({ stem, video }) => {
    const sidecar = sidecars.get(stem) ?? null;
    sidecars.delete(stem);
    return { stem, video, sidecar };
  });
  for (const file of sidecars.values()) leftovers.push(file.name);
  return { pairs, leftovers };
}

function firstAbove(lines, t) {
  let lo = 0;
  let hi = lines.length;
  while (lo < hi) {
    const mid = (lo + hi) >>> 1;
    if (lines[mid].t > t) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

/** A parsed sidecar: its detections lines in time order, and what was left out of it. */
export class Sidecar {
  /**
   * `text` is the sidecar's content, `cut` true when it was read only up to MAX_SIDECAR_BYTES
   * (its last, partial line is then dropped rather than counted as malformed).
   */
  constructor(text, cut = false, maxLines = MAX_SIDECAR_LINES) {
    this.lines = [];
    this.skipped = 0; // lines that are no detections message
    this.truncated = cut;
    const rows = text.split('\n');
    if (cut) rows.pop();
    for (const row of rows) {
      if (row.trim() === '') continue;
      if (this.lines.length === maxLines) {
        this.truncated = true;
        break;
      }
      const message = parseDetections(row);
      if (message) this.lines.push(message);
      else this.skipped += 1;
    }
    // Stable: of two lines with one time, the first in the file wins, as it would live.
    this.lines.sort((a, b) => a.t - b.t);
  }

  /** The line of the frame shown at `tick` ticks into the file; null when it has none. */
  messageForFrame(tick) {
    // Only lines near the frame's time are candidates. The live rule takes the closest line
    // strictly before the time asked for: asking just past the slack makes it "at or before".
    const start = firstAbove(this.lines, tick - SLACK_TICKS - 1);
    const end = firstAbove(this.lines, tick + SLACK_TICKS);
    const near = this.lines.slice(start, end);
    return messageForFrame(near, tick + SLACK_TICKS + 1, 2 * SLACK_TICKS + 1);
  }
}
