// Debian's Chromium, headless, against the page test host: a 1080p H.264 clip of about 20 MB plays and
// seeks in windows of at most 4 MiB, whether its index is at the end or at the start; a thumbnail loads;
// a page event reaches the page's hook intact.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const hostBin = process.env.PAGE_HOST;
const work = mkdtempSync(join(tmpdir(), 'quillmar-chromium-'));
const clips = join(work, 'home', 'Videos', 'quill.mar');
const window4MiB = 4 * 1024 * 1024;
let host, browser, page, base;
const log = [];
const scripts = [];
let scriptWaiter = null;

function ffmpeg(...args) {
  execFileSync('ffmpeg', ['-v', 'error', '-y', ...args], { stdio: 'inherit' });
}

before(async () => {
  mkdirSync(join(clips, '.quillmar'), { recursive: true });
  // Noise keeps the bit rate up, so ten seconds of 1080p make about 20 MB; the index is written last.
  ffmpeg('-f', 'lavfi', '-i', 'testsrc2=size=1920x1080:rate=30,noise=alls=12:allf=t', '-t', '10.2',
    '-c:v', 'libx264', '-preset', 'ultrafast', '-b:v', '16M', '-maxrate', '16M', '-bufsize', '8M', '-g', '30',
    '-pix_fmt', 'yuv420p', join(clips, 'fin.mp4'));
  ffmpeg('-i', join(clips, 'fin.mp4'), '-c', 'copy', '-movflags', '+faststart', join(clips, 'debut.mp4'));
  ffmpeg('-i', join(clips, 'fin.mp4'), '-frames:v', '1', '-s', '400x225', join(clips, '.quillmar', 'fin.jpg'));
  const size = statSync(join(clips, 'fin.mp4')).size;
  assert.ok(size > 18 * 1024 * 1024, `clip of ${size} bytes is too small`);

  host = spawn(hostBin, ['--home', join(work, 'home')], { stdio: ['pipe', 'pipe', 'pipe'] });
  createInterface({ input: host.stderr }).on('line', (line) => log.push(line));
  const lines = createInterface({ input: host.stdout });
  base = await new Promise((resolve, reject) => {
    host.once('exit', (code) => reject(new Error(`page_host ended (${code}): ${log.join('\n')}`)));
    lines.once('line', resolve);
  });
  lines.on('line', (line) => {
    scripts.push(JSON.parse(line));
    if (scriptWaiter) scriptWaiter();
  });
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  await page.goto(base); // any document of the host's origin will do
});

after(async () => {
  await browser?.close();
  host?.stdin.end();
  rmSync(work, { recursive: true, force: true });
});

for (const id of ['fin', 'debut']) {
  test(`clip with its index at the ${id === 'fin' ? 'end' : 'start'} plays and seeks`, async () => {
    const result = await page.evaluate(async (src) => {
      const video = document.createElement('video');
      video.muted = true;
      document.body.append(video);
      const once = (name) => new Promise((resolve, reject) => {
        video.addEventListener(name, resolve, { once: true });
        video.addEventListener('error', () => reject(new Error(`media error ${video.error?.code}`)), { once: true });
      });
      video.src = src;
      await once('loadedmetadata');
      await video.play();
      while (video.currentTime < 0.3) await once('timeupdate');
      video.pause();
      const seeks = [];
      for (const time of [8.5, 2, 9.7]) {
        const seeked = once('seeked');
        video.currentTime = time;
        await seeked;
        seeks.push({ time: video.currentTime, ready: video.readyState });
      }
      const duration = video.duration;
      video.remove();
      return { duration, seeks };
    }, `/clip/${id}`);
    assert.ok(result.duration > 10, `duration ${result.duration}`);
    for (const [i, time] of [8.5, 2, 9.7].entries()) {
      assert.ok(Math.abs(result.seeks[i].time - time) < 0.05, JSON.stringify(result.seeks));
      assert.ok(result.seeks[i].ready >= 2, JSON.stringify(result.seeks));
    }
  });
}

test('clip windows stay within 4 MiB and reach past 16 MiB', () => {
  const windows = log.filter((line) => line.startsWith('request GET /clip/fin '))
    .map((line) => line.match(/status=206 content-range=bytes (\d+)-(\d+)\//))
    .filter(Boolean)
    .map((m) => [Number(m[1]), Number(m[2])]);
  assert.ok(windows.length > 0, log.join('\n'));
  for (const [first, last] of windows) assert.ok(last - first + 1 <= window4MiB, `${first}-${last}`);
  assert.ok(windows.some(([first]) => first >= 16 * 1024 * 1024), JSON.stringify(windows));
});

test('a thumbnail loads', async () => {
  const width = await page.evaluate(async () => {
    const image = new Image();
    image.src = '/thumb/fin';
    await image.decode();
    return image.naturalWidth;
  });
  assert.equal(width, 400);
});

test('an event reaches the hook intact', async () => {
  const text = 'dit "oui"\nà la ligne\u2028é';
  await page.evaluate(() => { window.__got = []; window.__quillmar = (event) => window.__got.push(event); });
  const arrived = new Promise((resolve) => { scriptWaiter = resolve; });
  host.stdin.write(JSON.stringify({ event: 'error', text }) + '\n');
  await arrived;
  await page.evaluate(scripts.at(-1));
  assert.deepEqual(await page.evaluate(() => window.__got), [{ type: 'error', text }]);
});
