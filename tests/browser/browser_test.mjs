// Plays the plug-in's outputs in Debian's Chromium, headless and off the
// network, from a page served on localhost.
//   node browser_test.mjs DIR   (DIR holds demo.mp4, demo.webm, slow.mp4)
// demo.mp4 (H.264 + AAC, faststart), demo.webm (VP9 + Opus) must play to their
// end with the right length; slow.mp4 is demo.mp4's twin without faststart.
// loud.qc.html, the report of loud.mp4 (louder than its EBU R 128 target),
// must load with no error and no request beyond the page itself, and its
// picture show the loudness curve above the target's band: found by their
// colours in a screenshot, not by asking the page.
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { PNG } from 'pngjs';
import { startServer } from './server.mjs';

const dir = path.resolve(process.argv[2] || '.');
const expectedSeconds = Number(process.env.EXPECTED_SECONDS || 4);
const HEAD_FRACTION = 0.25;

// The report's colours for the momentary curve and the target's band.
const CURVE = [0x1f, 0x5f, 0xbf];
const BAND = [0xb9, 0xe4, 0xb9];

// Rows and columns of the screenshot's pixels of `colour`.
function pixelsOf(png, colour) {
  const found = [];
  for (let y = 0; y < png.height; y++) {
    for (let x = 0; x < png.width; x++) {
      const i = (y * png.width + x) * 4;
      if (png.data[i] === colour[0] && png.data[i + 1] === colour[1] && png.data[i + 2] === colour[2]) found.push([x, y]);
    }
  }
  return found;
}

async function checkReport(page) {
  const errors = [];
  const elsewhere = [];
  const onError = (e) => errors.push(String(e));
  const onConsole = (m) => { if (m.type() === 'error') errors.push(m.text()); };
  const onRequest = (r) => { if (!r.url().endsWith('/loud.qc.html')) elsewhere.push(r.url()); };
  page.on('pageerror', onError);
  page.on('console', onConsole);
  page.on('request', onRequest);
  await page.setViewportSize({ width: 1000, height: 900 });
  const response = await page.goto(server.url('loud.qc.html'));
  check(response && response.ok(), 'the report page loads');
  check(errors.length === 0, `the report page shows no error ${errors.join('; ')}`);
  check(elsewhere.length === 0, `the report page asks for nothing else ${elsewhere.join(' ')}`);
  page.off('pageerror', onError);
  page.off('console', onConsole);
  page.off('request', onRequest);

  const chart = await page.$('svg#loudness');
  check(chart !== null, 'the report draws a loudness chart');
  if (!chart) return;
  const png = PNG.sync.read(await chart.screenshot());
  const curve = pixelsOf(png, CURVE);
  const band = pixelsOf(png, BAND);
  check(curve.length > 500, `the curve is drawn (${curve.length} pixels)`);
  check(band.length > 1000, `the target's band is drawn (${band.length} pixels)`);
  if (!curve.length || !band.length) return;
  const xs = curve.map(([x]) => x);
  const span = (Math.max(...xs) - Math.min(...xs)) / png.width;
  check(span > 0.8, `the curve runs along the timeline (${(span * 100).toFixed(0)}% of the chart)`);
  const rows = curve.map(([, y]) => y).sort((a, b) => a - b);
  const curveRow = rows[Math.floor(rows.length / 2)];
  const bandTop = Math.min(...band.map(([, y]) => y));
  check(curveRow < bandTop, `the loud sound's curve (row ${curveRow}) runs above the band (from row ${bandTop})`);
}

let failures = 0;
let passes = 0;
function check(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (ok) passes++; else failures++;
}

fs.writeFileSync(path.join(dir, 'index.html'), '<!doctype html><html><body></body></html>');
const server = await startServer(dir);
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
});

try {
  const page = await browser.newPage();
  await page.goto(server.url('index.html'));

  // Plays a file to its end; resolves with what the element reported.
  const play = (src) => page.evaluate((source) => new Promise((resolve) => {
    const video = document.createElement('video');
    video.muted = true;
    video.preload = 'auto';
    let audioTracks = null;
    video.onerror = () => resolve({ error: video.error ? `${video.error.code} ${video.error.message}` : 'error' });
    video.onloadedmetadata = () => { video.playbackRate = 4; video.play().catch((e) => resolve({ error: String(e) })); };
    video.onended = () => resolve({
      ended: true, duration: video.duration, currentTime: video.currentTime,
      width: video.videoWidth, height: video.videoHeight,
      decodedFrames: video.getVideoPlaybackQuality().totalVideoFrames,
      hasAudio: video.mozHasAudio ?? (video.webkitAudioDecodedByteCount > 0), audioTracks,
    });
    video.src = source;
    document.body.appendChild(video);
  }), src);

  for (const name of ['demo.mp4', 'demo.webm']) {
    const result = await play(server.url(name));
    check(result.ended === true, `${name} plays to its end ${result.error ? `(${result.error})` : ''}`);
    if (result.ended) {
      check(Math.abs(result.duration - expectedSeconds) < 0.1,
        `${name} lasts ${result.duration.toFixed(3)} s (expected ${expectedSeconds} s)`);
      check(result.width > 0 && result.height > 0, `${name} shows ${result.width}x${result.height} pictures`);
      check(result.hasAudio === true, `${name} carries sound the browser decoded`);
    }
  }

  // Reaching the movie's length: how much of the file had to come first.
  const metadata = async (name) => {
    const before = server.served(name);
    const duration = await page.evaluate((source) => new Promise((resolve) => {
      const video = document.createElement('video');
      video.muted = true;
      video.preload = 'metadata';
      video.onloadedmetadata = () => { const d = video.duration; video.removeAttribute('src'); video.load(); resolve(d); };
      video.onerror = () => resolve(null);
      video.src = source;
    }), `${server.url(name)}?metadata`);
    const after = server.served(name);
    const size = fs.statSync(path.join(dir, name)).size;
    const ranges = after.ranges.slice(before.ranges.length);
    const bytes = after.bytes - before.bytes;
    // Judged by where the browser asked to read, not by bytes served: how
    // many chunks go out before it hangs up depends on the machine's load.
    const onlyHead = ranges.every(([start]) => start < size * HEAD_FRACTION);
    return { duration, size, bytes, ranges, onlyHead };
  };

  const fast = await metadata('demo.mp4');
  console.log(`     demo.mp4: ${fast.bytes} of ${fast.size} bytes fetched, ranges ${JSON.stringify(fast.ranges)}`);
  check(fast.duration !== null && Math.abs(fast.duration - expectedSeconds) < 0.1, 'faststart mp4 reaches its metadata');
  check(fast.onlyHead, `faststart mp4 read only from the head of the file (the first ${HEAD_FRACTION * 100}%)`);

  await checkReport(page);

  const slow = await metadata('slow.mp4');
  console.log(`     slow.mp4: ${slow.bytes} of ${slow.size} bytes fetched, ranges ${JSON.stringify(slow.ranges)}`);
  check(slow.duration !== null, 'the mp4 without faststart still reaches its metadata');
  check(!slow.onlyHead, 'the mp4 without faststart had to read from past its head');
} finally {
  await browser.close();
  await server.close();
}

console.log(`${passes} passed, ${failures} failed`);
process.exit(failures ? 1 : 0);
