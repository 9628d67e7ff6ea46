// How long the browser holds frames before showing them. On a clean link it should show them at
// once. When packets go missing, each one waits a round trip for its retransmission, and a
// playout buffer of a few tens of milliseconds turns every such wait into a freeze; asking for
// the round trip plus a margin absorbs it, at the price of that much latency. So the target is
// raised only while repairs are seen and dropped again after a quiet spell.

export const PLAYOUT = {
  marginMs: 100, // beyond one round trip: the gap must be noticed and the NACK sent first
  capMs: 400, // more latency than this is worse for a live picture than an occasional freeze
  quietMs: 15000, // this long without a NACK or a new loss and the link counts as clean again
  unknownRttMs: 200, // before the first round-trip measurement
};

const rises = (now, before) => Number.isFinite(now) && Number.isFinite(before) && now > before;

/**
 * The playout state after one statistics sample.
 * state: null at first, then what this function returned.
 * sample: { at: ms on a monotonic clock, nacks: inbound nackCount, lost: inbound packetsLost,
 *           rtt: the candidate pair's currentRoundTripTime in seconds, if known }
 * Returns { nacks, lost, repairAt, target }, target being the jitterBufferTarget to set in ms,
 * or null for the browser's own minimal one.
 */
export function nextPlayout(state, sample, options = PLAYOUT) {
  const next = {
    nacks: sample.nacks,
    lost: sample.lost,
    repairAt: state?.repairAt ?? null,
    target: state?.target ?? null,
  };
  // The first sample only sets the baseline: counters from before it say nothing about now.
  if (!state) return next;
  if (rises(sample.nacks, state.nacks) || rises(sample.lost, state.lost)) {
    const rttMs = Number.isFinite(sample.rtt) ? sample.rtt * 1000 : options.unknownRttMs;
    const wanted = Math.min(options.capMs, Math.round(rttMs + options.marginMs));
    // Within one lossy spell the target only grows: lowering it on a momentarily short round
    // trip would bring the freezes back.
    next.target = Math.max(next.target ?? 0, wanted);
    next.repairAt = sample.at;
  } else if (next.target !== null && sample.at - next.repairAt >= options.quietMs) {
    next.target = null;
    next.repairAt = null;
  }
  return next;
}
