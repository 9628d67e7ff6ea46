import { checkSession, ensureLoggedIn } from './account.js';
import { DetectionBuffer, fitTransform, rtpDistance } from './detections.js';
import { nextPlayout } from './playout.js';
import { MAX_SIDECAR_BYTES, mediaTimeToTicks, pairRecordingFiles, Sidecar } from './recording.js';

const RECONNECT_MIN_MS = 500;
const RECONNECT_MAX_MS = 10000;
const STATS_INTERVAL_MS = 1000;
// After the signalling connection comes back, how often a tile asks again for its stream while
// the server refuses it (the gateway may reconnect a moment after the page does).
const REOPEN_ATTEMPTS = 10;
const REOPEN_PAUSE_MS = 1000;
const BOX_COLOURS = ['#22d3ee', '#facc15', '#f472b6', '#4ade80', '#fb923c', '#a78bfa'];

const $ = (selector) => document.querySelector(selector);

function element(tag, props = {}, ...children) {
  const el = document.createElement(tag);
  Object.assign(el, props);
  el.append(...children);
  return el;
}

// ---- Signalling connection ----------------------------------------------------------------

let socket = null;
let reconnectDelay = RECONNECT_MIN_MS;
const streams = new Map(); // id -> last figures from the server
const tiles = new Map(); // stream id -> Tile
// STUN and TURN servers for the peer connections, as the server's configuration names them.
let iceServers = [];

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  socket = new WebSocket(`${scheme}//${location.host}/ws`);
  socket.onopen = () => {
    iceServers = []; // until this server names its own
    setConnection(true);
    // The server ended every viewer of the dropped connection: the open tiles ask again once
    // their stream is listed as available.
    for (const tile of tiles.values()) tile.reopenWhenAvailable();
  };
  socket.onmessage = (event) => {
    // Back to quick retries only once the server has spoken: one that accepts and then drops
    // every connection is not hammered.
    reconnectDelay = RECONNECT_MIN_MS;
    let message;
    try {
      message = JSON.parse(event.data);
    } catch {
      return;
    }
    handleMessage(message);
  };
  socket.onclose = () => {
    socket = null;
    setConnection(false);
    checkSession();
    for (const tile of tiles.values()) tile.disconnected();
    // Spread out, so that the viewers of a restarted server do not all come back at once.
    setTimeout(connect, reconnectDelay * (0.75 + Math.random() * 0.5));
    reconnectDelay = Math.min(reconnectDelay * 2, RECONNECT_MAX_MS);
  };
}

function setConnection(up) {
  const badge = $('#connection');
  badge.textContent = up ? 'connected' : 'reconnecting…';
  badge.className = `badge ${up ? 'on' : 'off'}`;
}

function showNotice(text) {
  const notice = $('#notice');
  notice.textContent = text;
  notice.hidden = false;
  clearTimeout(showNotice.timer);
  showNotice.timer = setTimeout(() => (notice.hidden = true), 8000);
}

// Refusals said in words a viewer can act on.
function refusalText(status) {
  if (status === 'Not allowed') return 'not allowed: this account has no grant for the stream';
  if (/limit/i.test(status ?? '')) return `limit reached (${status}): try again later`;
  return status;
}

function handleMessage(message) {
  const tile = message.stream !== undefined ? tiles.get(message.stream) : undefined;
  switch (message.type) {
    case 'ice_servers':
      iceServers = Array.isArray(message.ice_servers) ? message.ice_servers : [];
      break;
    case 'streams':
      updateStreams(Array.isArray(message.streams) ? message.streams : []);
      break;
    case 'opened':
      tile?.opened();
      break;
    case 'refused':
      if (tile?.retryAfterRefusal(message.status)) break;
      showNotice(`${message.stream}: ${refusalText(message.status)}`);
      tile?.remove();
      break;
    case 'offer':
      tile?.acceptOffer(message.sdp);
      break;
    case 'candidate':
      tile?.addRemoteCandidate(message.mline, message.candidate);
      break;
    case 'closed':
      if (tile) {
        showNotice(`${message.stream} closed${message.reason ? `: ${message.reason}` : ''}`);
        tile.remove();
      }
      break;
    case 'error':
      showNotice(message.message ?? 'error');
      break;
  }
}

// ---- Stream table ---------------------------------------------------------------------------

const ms = (us) => (Number.isFinite(us) ? Math.round(us / 1000) : '–');
const count = (n) => (Number.isFinite(n) ? String(n) : '–');

function bitrate(bps) {
  if (!Number.isFinite(bps)) return '–';
  if (bps >= 1e6) return `${(bps / 1e6).toFixed(2)} Mbit/s`;
  return `${Math.round(bps / 1e3)} kbit/s`;
}

function setFlag(cell, on, yes, no) {
  cell.classList.toggle('yes', Boolean(on));
  cell.classList.toggle('no', !on);
  cell.textContent = on ? yes : no;
}

// Rows are built once and then only their texts change: the list comes every second, and a
// button replaced between press and release would lose the click.
function streamRow(id) {
  const body = $('#streams tbody');
  let row = body.querySelector(`tr[data-stream="${CSS.escape(id)}"]`);
  if (row) return row;
  const num = () => element('td', { className: 'num' });
  row = element('tr', {},
    element('td', {}, element('span', { className: 'stream-name' }),
      element('span', { className: 'stream-id', textContent: id })),
    element('td', {}, element('span', { className: 'gateway-name' }), ' ',
      element('span', { className: 'gateway-state' })),
    element('td', {}, element('span', { className: 'video-state' })),
    num(), num(), num(), num(), num(), num(),
    element('td', {}, element('button', { onclick: () => toggleTile(id) })));
  row.dataset.stream = id;
  body.append(row);
  return row;
}

function updateStreams(list) {
  const seen = new Set();
  for (const s of list) {
    if (typeof s.id !== 'string') continue;
    seen.add(s.id);
    streams.set(s.id, s);
    const row = streamRow(s.id);
    row.querySelector('.stream-name').textContent = s.name || s.id;
    row.querySelector('.gateway-name').textContent = s.gateway ?? '';
    setFlag(row.querySelector('.gateway-state'), s.connected, '● up', '● down');
    setFlag(row.querySelector('.video-state'), s.video_available, 'available', 'none');
    const figures = [
      `${ms(s.min_roundtrip)} / ${ms(s.max_roundtrip)}`, count(s.lost_frames),
      count(s.delayed_frames), count(s.retransmissions), count(s.duplicates), bitrate(s.bitrate),
    ];
    row.querySelectorAll('td.num').forEach((cell, k) => (cell.textContent = figures[k]));
    refreshButton(s.id);
  }
  for (const row of [...$('#streams tbody').querySelectorAll('tr')]) {
    if (!seen.has(row.dataset.stream)) {
      streams.delete(row.dataset.stream);
      row.remove();
    }
  }
  $('#no-streams').hidden = seen.size > 0;
  for (const tile of tiles.values()) tile.reopenIfDue();
}

function refreshButton(id) {
  const button = $(`#streams tr[data-stream="${CSS.escape(id)}"] button`);
  if (!button) return;
  button.textContent = tiles.has(id) ? 'Close' : 'Open';
  button.className = tiles.has(id) ? 'close' : '';
}

function toggleTile(id) {
  const tile = tiles.get(id);
  if (tile) {
    send({ type: 'close', stream: id });
    tile.remove();
  } else {
    const created = new Tile(id);
    tiles.set(id, created);
    created.requestOpen();
    refreshButton(id);
  }
}

// ---- Box overlay ----------------------------------------------------------------------------

// Clears the overlay canvas and draws boxes given in the pixels of a frame of frameWidth x
// frameHeight, letterboxed like the video under it. Returns how many boxes it drew.
function drawBoxes(canvas, boxes, frameWidth, frameHeight) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
  }
  const ctx = canvas.getContext('2d');
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, width, height);
  const fit = fitTransform(frameWidth, frameHeight, width, height);
  if (fit.scale === 0 || boxes.length === 0) return 0;
  ctx.font = '12px system-ui, sans-serif';
  ctx.textBaseline = 'bottom';
  for (const b of boxes) {
    const colour = BOX_COLOURS[Math.abs(Number(b.type) || 0) % BOX_COLOURS.length];
    const x = fit.x + b.x * fit.scale;
    const y = fit.y + b.y * fit.scale;
    // A dark rim under the colour keeps the box visible on any part of the picture.
    ctx.lineWidth = 4;
    ctx.strokeStyle = 'rgba(0, 0, 0, 0.6)';
    ctx.strokeRect(x, y, b.w * fit.scale, b.h * fit.scale);
    ctx.lineWidth = 2;
    ctx.strokeStyle = colour;
    ctx.strokeRect(x, y, b.w * fit.scale, b.h * fit.scale);
    const label = `#${b.id} · type ${b.type}`;
    const labelWidth = ctx.measureText(label).width + 6;
    const labelY = y >= 16 ? y : y + 16;
    ctx.fillStyle = colour;
    ctx.fillRect(x - 1, labelY - 16, labelWidth, 16);
    ctx.fillStyle = '#000';
    ctx.fillText(label, x + 2, labelY - 2);
  }
  return boxes.length;
}

// ---- Viewer tile ----------------------------------------------------------------------------

class Tile {
  constructor(stream) {
    this.stream = stream;
    this.pc = null;
    this.pendingCandidates = null; // remote candidates that came before the offer was applied
    // Several seconds of messages at any usual frame rate: they may arrive well before the
    // jitter buffer lets their frame out.
    this.buffer = new DetectionBuffer(256);
    // Decoder counters restart with every peer connection; the tile's total keeps growing.
    this.framesDecoded = 0;
    this.decodedBefore = 0; // by the peer connections closed so far
    this.decodedNow = 0; // by the current one, at the last poll
    this.framesPainted = 0;
    this.detectionMessages = 0;
    this.boxesDrawn = 0;
    this.codec = '';
    this.offers = 0;
    this.route = null; // [local, remote] candidate type of the selected pair
    this.playout = null; // jitter buffer target and the loss counters behind it (playout.js)
    this.matchGaps = []; // RTP ticks between recent frames and their detections' "t"
    this.reopenAttempts = null; // a number while reopening after the connection came back
    this.reopenAt = null;

    this.video = element('video', { autoplay: true, muted: true, playsInline: true });
    for (const attribute of ['autoplay', 'muted', 'playsinline']) this.video.setAttribute(attribute, '');
    this.canvas = element('canvas');
    this.status = element('span', { className: 'status', textContent: 'opening…' });
    const name = streams.get(stream)?.name;
    this.root = element('article', { className: 'tile' },
      element('header', {},
        element('h2', { textContent: name ? `${name} — ${stream}` : stream }),
        this.status,
        element('button', { className: 'close', textContent: 'Close', onclick: () => toggleTile(stream) })),
      element('div', { className: 'screen' }, this.video, this.canvas));
    this.root.dataset.stream = stream;
    $('#tiles').append(this.root);

    this.statsTimer = setInterval(() => this.pollStats(), STATS_INTERVAL_MS);
    if ('requestVideoFrameCallback' in this.video) {
      this.video.requestVideoFrameCallback((now, meta) => this.onFrame(meta));
    } else {
      this.setStatus('this browser cannot match boxes to frames');
    }
  }

  setStatus(text) {
    this.status.textContent = text;
  }

  requestOpen() {
    this.setStatus('opening…');
    send({ type: 'open', stream: this.stream });
  }

  opened() {
    this.reopenAttempts = null;
    this.setStatus('waiting for video…');
  }

  reopenWhenAvailable() {
    this.reopenAttempts = 0;
    this.reopenAt = 0;
    this.setStatus('waiting for the stream…');
    this.reopenIfDue();
  }

  reopenIfDue() {
    if (this.reopenAttempts == null || this.reopenAt === null || Date.now() < this.reopenAt) return;
    const s = streams.get(this.stream);
    if (!s || !s.connected || !s.video_available) return;
    this.reopenAt = null; // until the answer to this request
    this.reopenAttempts += 1;
    this.requestOpen();
  }

  /** True when the tile stays and will ask again; false when the refusal is final. */
  retryAfterRefusal(status) {
    if (this.reopenAttempts == null || this.reopenAttempts >= REOPEN_ATTEMPTS) return false;
    if (status === 'Not allowed') return false; // asking again will not change it
    this.reopenAt = Date.now() + REOPEN_PAUSE_MS;
    this.setStatus(`refused (${status}), asking again…`);
    return true;
  }

  disconnected() {
    this.closePeer();
    this.setStatus('signalling lost, reconnecting…');
  }

  // Every offer, the first and any later one (the drone changed codec), gets a fresh peer
  // connection: its RTP timestamps start on a new base, so the old detections go too.
  async acceptOffer(sdp) {
    this.closePeer();
    this.offers += 1;
    const pc = new RTCPeerConnection({ bundlePolicy: 'max-bundle', iceServers });
    this.pc = pc;
    this.pendingCandidates = [];
    pc.onicecandidate = (event) => {
      if (this.pc !== pc || !event.candidate || !event.candidate.candidate) return;
      send({
        type: 'candidate',
        stream: this.stream,
        mline: event.candidate.sdpMLineIndex ?? 0,
        candidate: event.candidate.candidate,
      });
    };
    pc.ontrack = (event) => {
      if (this.pc !== pc || event.track.kind !== 'video') return;
      this.video.srcObject = event.streams[0] ?? new MediaStream([event.track]);
      this.video.play().catch(() => {});
    };
    pc.ondatachannel = (event) => {
      const channel = event.channel;
      channel.onmessage = (e) => {
        if (this.pc !== pc || typeof e.data !== 'string') return;
        if (this.buffer.push(e.data)) this.detectionMessages += 1;
      };
    };
    pc.onconnectionstatechange = () => {
      if (this.pc !== pc) return;
      const state = pc.connectionState;
      this.setStatus(state === 'connected' ? 'live' : state);
    };
    try {
      await pc.setRemoteDescription({ type: 'offer', sdp });
      if (this.pc !== pc) return; // a newer offer took over
      const pending = this.pendingCandidates;
      this.pendingCandidates = null;
      for (const c of pending) await pc.addIceCandidate(c);
      const answer = await pc.createAnswer();
      await pc.setLocalDescription(answer);
      if (this.pc !== pc) return;
      send({ type: 'answer', stream: this.stream, sdp: pc.localDescription.sdp });
      this.setStatus('connecting…');
    } catch (err) {
      if (this.pc === pc) this.setStatus(`offer failed: ${err.message}`);
    }
  }

  async addRemoteCandidate(mline, candidate) {
    if (!this.pc || typeof candidate !== 'string' || candidate === '') return;
    const init = { candidate, sdpMLineIndex: Number.isInteger(mline) ? mline : 0 };
    if (this.pendingCandidates) {
      this.pendingCandidates.push(init);
      return;
    }
    try {
      await this.pc.addIceCandidate(init);
    } catch (err) {
      console.warn(`${this.stream}: candidate refused`, err);
    }
  }

  onFrame(meta) {
    if (!this.root.isConnected) return;
    this.framesPainted += 1;
    this.draw(meta);
    this.video.requestVideoFrameCallback((now, next) => this.onFrame(next));
  }

  draw(meta) {
    const message =
      meta.rtpTimestamp === undefined ? null : this.buffer.messageForFrame(meta.rtpTimestamp);
    if (message) {
      // How far behind the frame its boxes' message is: one frame interval when the message
      // of this very frame had arrived, more when the boxes are those of an earlier frame.
      this.matchGaps.push(rtpDistance(message.t, meta.rtpTimestamp));
      if (this.matchGaps.length > 120) this.matchGaps.shift();
    }
    // The frame's own size: videoWidth may still hold the old one on a resolution change.
    this.boxesDrawn += drawBoxes(this.canvas, message ? message.det : [], meta.width, meta.height);
  }

  async pollStats() {
    const pc = this.pc;
    if (!pc) return;
    try {
      const report = await pc.getStats();
      const codecs = new Map();
      let inbound = null;
      let pairId = null;
      report.forEach((s) => {
        if (s.type === 'codec') codecs.set(s.id, s.mimeType);
        if (s.type === 'inbound-rtp' && s.kind === 'video') inbound = s;
        if (s.type === 'transport' && s.selectedCandidatePairId) pairId = s.selectedCandidatePairId;
      });
      if (pc !== this.pc) return;
      // The candidate types of the path in use, e.g. host and relay when a TURN server carries it.
      const pair = pairId ? report.get(pairId) : undefined;
      const typeOf = (id) => report.get(id)?.candidateType;
      this.route = pair ? [typeOf(pair.localCandidateId), typeOf(pair.remoteCandidateId)] : null;
      if (!inbound) return;
      this.decodedNow = inbound.framesDecoded ?? 0;
      this.framesDecoded = this.decodedBefore + this.decodedNow;
      this.codec = (codecs.get(inbound.codecId) ?? '').replace('video/', '');
      this.adaptPlayout(pc, inbound, pair);
    } catch {
      // The connection was closed under us.
    }
  }

  // Holds frames a round trip longer only while the link loses packets (see playout.js).
  adaptPlayout(pc, inbound, pair) {
    const before = this.playout?.target ?? null;
    this.playout = nextPlayout(this.playout, {
      at: performance.now(),
      nacks: inbound.nackCount,
      lost: inbound.packetsLost,
      rtt: pair?.currentRoundTripTime,
    });
    if (this.playout.target === before) return;
    const receiver = pc.getReceivers().find((r) => r.track?.kind === 'video');
    if (receiver && 'jitterBufferTarget' in receiver) {
      receiver.jitterBufferTarget = this.playout.target;
    }
  }

  closePeer() {
    if (!this.pc) return;
    this.playout = null;
    this.decodedBefore += this.decodedNow;
    this.decodedNow = 0;
    this.route = null;
    this.pc.close();
    this.pc = null;
    this.buffer.clear();
    this.video.srcObject = null;
  }

  remove() {
    this.closePeer();
    clearInterval(this.statsTimer);
    this.root.remove();
    tiles.delete(this.stream);
    refreshButton(this.stream);
  }

  snapshot() {
    return {
      stream: this.stream,
      state: this.pc?.connectionState ?? 'none',
      codec: this.codec,
      offers: this.offers,
      framesDecoded: this.framesDecoded,
      framesPainted: this.framesPainted,
      detectionMessages: this.detectionMessages,
      boxesDrawn: this.boxesDrawn,
      route: this.route,
      playoutTarget: this.playout?.target ?? null,
    };
  }
}

// ---- Recording tile -------------------------------------------------------------------------

// A recording opened from disk plays from a blob: URL of the local file, so nothing of it goes
// to the server, and needs no log-in: it shows nothing the page's user does not already hold.
const recordings = new Set();

class RecordingTile {
  constructor({ stem, video, sidecar }) {
    this.stem = stem;
    this.sidecar = null;
    this.framesPainted = 0;
    this.boxesDrawn = 0;
    this.recent = []; // [tick, box ids] of the frames drawn last
    this.url = URL.createObjectURL(video);
    this.video = element('video', { muted: true, playsInline: true, controls: true });
    this.canvas = element('canvas');
    this.note = element('p', { className: 'note' });
    this.video.onerror = () => this.note.append(` ${video.name} cannot be played here.`);
    this.root = element('article', { className: 'tile recording' },
      element('header', {},
        element('h2', { textContent: `Recording — ${video.name}` }),
        element('button', { className: 'close', textContent: 'Close', onclick: () => this.remove() })),
      element('div', { className: 'screen' }, this.video, this.canvas),
      this.note);
    this.root.dataset.recording = stem;
    $('#recordings').append(this.root);
    recordings.add(this);
    this.load(sidecar);
  }

  async load(file) {
    const notes = [];
    if (!file) {
      notes.push(`No ${this.stem}.jsonl picked: the video plays without boxes.`);
    } else {
      try {
        const cut = file.size > MAX_SIDECAR_BYTES;
        this.sidecar = new Sidecar(await file.slice(0, MAX_SIDECAR_BYTES).text(), cut);
      } catch (err) {
        notes.push(`${file.name} could not be read (${err.message}): no boxes.`);
      }
    }
    if (this.sidecar) {
      const { lines, skipped, truncated } = this.sidecar;
      notes.push(`${lines.length} frame lines read from ${file.name}.`);
      if (skipped) notes.push(`${skipped} malformed lines skipped.`);
      if (truncated) notes.push('Only its start was read: later frames have no boxes.');
    }
    if (!('requestVideoFrameCallback' in this.video)) {
      notes.push('This browser cannot match boxes to frames.');
    } else {
      this.video.requestVideoFrameCallback((now, meta) => this.onFrame(meta));
    }
    this.note.textContent = notes.join(' ');
    if (!this.root.isConnected) return;
    this.video.src = this.url;
    this.video.play().catch(() => {});
  }

  onFrame(meta) {
    if (!this.root.isConnected) return;
    this.framesPainted += 1;
    const tick = mediaTimeToTicks(meta.mediaTime);
    const boxes = this.sidecar?.messageForFrame(tick)?.det ?? [];
    this.boxesDrawn += drawBoxes(this.canvas, boxes, meta.width, meta.height);
    this.recent.push([tick, boxes.map((b) => b.id)]);
    if (this.recent.length > 120) this.recent.shift();
    this.video.requestVideoFrameCallback((now, next) => this.onFrame(next));
  }

  remove() {
    this.video.removeAttribute('src');
    this.video.load();
    URL.revokeObjectURL(this.url);
    this.root.remove();
    recordings.delete(this);
  }

  snapshot() {
    const { stem, framesPainted, boxesDrawn, sidecar } = this;
    return {
      stem, framesPainted, boxesDrawn, recent: this.recent.slice(),
      lines: sidecar?.lines.length ?? null, skipped: sidecar?.skipped ?? null,
    };
  }
}

function openRecordings(input) {
  const { pairs, leftovers } = pairRecordingFiles(input.files);
  input.value = ''; // picking the same files again opens them again
  for (const pair of pairs) new RecordingTile(pair);
  if (leftovers.length) showNotice(`Not opened (no .webm of that name): ${leftovers.join(', ')}`);
}

$('#recording-files').onchange = (event) => openRecordings(event.target);

// Counters for automated checks (and the curious, from the console).
window.norvaneViewer = {
  connected: () => socket?.readyState === WebSocket.OPEN,
  streams: () => [...streams.keys()],
  tiles: () => [...tiles.values()].map((t) => t.snapshot()),
  matchGaps: (id) => [...(tiles.get(id)?.matchGaps ?? [])],
  open: (id) => tiles.has(id) || toggleTile(id),
  close: (id) => tiles.has(id) && toggleTile(id),
  recordings: () => [...recordings].map((r) => r.snapshot()),
};

ensureLoggedIn().then(connect);
