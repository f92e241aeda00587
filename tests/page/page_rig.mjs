// The rig of the page tests: a private home with a clips folder of real MP4s (ffmpeg), sidecars and JPEG
// thumbnails, the page host serving the real page from it, and Debian's Chromium driven by playwright-core.
//
// Host events go through the host's standard input; the host prints the program's own script for each,
// which runs in the page exactly as the program's view would run it.

import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { chromium } from 'playwright-core';

const host = process.env.PAGE_HOST || path.resolve('build/tests/page_host');
export const ffmpeg = args => execFileSync('ffmpeg', ['-v', 'error', '-y', ...args], { stdio: 'pipe' });

// Made once per run and linked into each home.
let media = null;
function makeMedia() {
  if (media) return media;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmar-media-'));
  const src = ['-f', 'lavfi', '-i', 'testsrc2=size=320x180:rate=30', '-f', 'lavfi', '-i', 'sine=frequency=440',
    '-t', '3', '-pix_fmt', 'yuv420p'];
  ffmpeg([...src, '-c:v', 'libx264', '-c:a', 'aac', '-movflags', '+faststart', path.join(dir, 'h264.mp4')]);
  // HEVC without sound: Chromium here decodes no HEVC (with an AAC track it would play the sound alone).
  ffmpeg([...src.slice(0, 4), '-t', '3', '-c:v', 'libx265', '-x265-params', 'log-level=error', '-tag:v', 'hvc1',
    '-movflags', '+faststart', path.join(dir, 'unplayable.mp4')]);
  ffmpeg(['-f', 'lavfi', '-i', 'testsrc2=size=400x225', '-frames:v', '1', path.join(dir, 'thumb.jpg')]);
  media = dir;
  process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

export const now = () => Math.floor(Date.now() / 1000);

// A clip record in the API form; `ago` is how many seconds before now it was made.
export function clip(id, fields = {}) {
  const { ago = 60, ...rest } = fields;
  return { id, title: id, game: 'Jeu', created: now() - ago, secs: 3.0, bytes: 0, favorite: false,
    recording: false, width: 320, height: 180, ...rest };
}

// Writes each clip as an MP4 (one Chromium cannot play when listed in `unplayable`, or the file that `files`
// names for its id), its sidecar and its thumbnail, and `settings` as settings.json when given. Gives the home.
export function makeHome(clips, { unplayable = [], files = {}, settings } = {}) {
  const dir = makeMedia();
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmar-home-'));
  const folder = path.join(home, 'Videos', 'quill.mar');
  fs.mkdirSync(path.join(folder, '.quillmar'), { recursive: true });
  if (settings) {
    fs.mkdirSync(path.dirname(settingsFile(home)), { recursive: true });
    fs.writeFileSync(settingsFile(home), JSON.stringify(settings, null, 2));
  }
  for (const c of clips) {
    const mp4 = path.join(folder, `${c.id}.mp4`);
    fs.copyFileSync(files[c.id] || path.join(dir, unplayable.includes(c.id) ? 'unplayable.mp4' : 'h264.mp4'), mp4);
    const record = { ...c, bytes: c.bytes || fs.statSync(mp4).size };
    const keys = ['id', 'title', 'game', 'created', 'secs', 'bytes', 'favorite', 'recording', 'width', 'height'];
    const text = '{' + keys.map(k => `${JSON.stringify(k)}:${k === 'secs' ? record.secs.toFixed(1) : JSON.stringify(record[k])}`)
      .join(',') + '}';
    fs.writeFileSync(path.join(folder, '.quillmar', `${c.id}.json`), text);
    fs.copyFileSync(path.join(dir, 'thumb.jpg'), path.join(folder, '.quillmar', `${c.id}.jpg`));
  }
  return { home, folder };
}

export const settingsFile = home => path.join(home, '.config', 'quill.mar', 'settings.json');
export const savedSettings = home => JSON.parse(fs.readFileSync(settingsFile(home), 'utf8'));

export const sidecar = (folder, id) =>
  JSON.parse(fs.readFileSync(path.join(folder, '.quillmar', `${id}.json`), 'utf8'));

export const trashed = (home, id) =>
  [path.join(home, 'trash'), path.join(home, '.local', 'share', 'Trash', 'files')]
    .some(dir => fs.existsSync(path.join(dir, `${id}.mp4`)));

// Starts the host on `home`; resolves with its base URL once it listens.
export async function startHost(home) {
  const child = spawn(host, ['--home', home], { stdio: ['pipe', 'pipe', 'pipe'] });
  const log = [];
  readline.createInterface({ input: child.stderr }).on('line', line => log.push(line));
  const lines = readline.createInterface({ input: child.stdout });
  const scripts = [];
  let waiter = null;
  const base = await new Promise((resolve, reject) => {
    child.once('exit', code => reject(new Error(`page_host ended (${code}): ${log.join('\n')}`)));
    lines.once('line', resolve);
  });
  lines.on('line', line => {
    scripts.push(JSON.parse(line));
    if (waiter) waiter();
  });
  return {
    base, log,
    // Sends one event command and gives the script the program made of it.
    async event(command) {
      const count = scripts.length;
      child.stdin.write(JSON.stringify(command) + '\n');
      while (scripts.length === count) await new Promise(resolve => { waiter = resolve; });
      return scripts[count];
    },
    // Sends a command that makes no script.
    send(command) {
      child.stdin.write(JSON.stringify(command) + '\n');
    },
    async stop() {
      if (child.exitCode !== null) return;
      const ended = new Promise(resolve => child.once('exit', resolve));
      child.kill('SIGTERM');
      await ended;
    },
  };
}

const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'];

export const launch = () => chromium.launch({ executablePath: '/usr/bin/chromium', args: FLAGS, headless: true });

// A page of the host with every API call recorded on the wire (`calls`: method and parsed body), open once
// the page reports it is ready (or, with `ready` false, once it has loaded).
export async function openPage(browser, base, { colorScheme = 'light', route, contextOptions, ready: wait = true } = {}) {
  const context = await browser.newContext({ locale: 'fr-FR', timezoneId: 'Europe/Paris', colorScheme,
    viewport: { width: 1280, height: 800 }, ...contextOptions });
  const page = await context.newPage();
  const calls = [];
  page.on('request', r => {
    const { pathname } = new URL(r.url());
    if (pathname.startsWith('/api/')) calls.push({ method: pathname.slice(5), body: JSON.parse(r.postData() || 'null') });
  });
  if (route) await route(page);
  const ready = wait && page.waitForRequest(r => r.url().endsWith('/api/ready'));
  await page.goto(base);
  await ready;
  const called = method => calls.filter(c => c.method === method);
  // Waits for the n-th call of a method (1 = the first).
  const waitCall = async (method, n = called(method).length + 1) => {
    while (called(method).length < n) await page.waitForRequest(r => r.url().endsWith('/api/' + method));
    return called(method)[n - 1];
  };
  return { context, page, calls, called, waitCall };
}

// Polls `holds` every 50 ms until it is true; fails with the text `why` gives after `ms`.
export async function until(holds, why, ms = 10000) {
  for (const end = Date.now() + ms; !(await holds());) {
    if (Date.now() > end) throw new Error(why());
    await new Promise(resolve => setTimeout(resolve, 50));
  }
}

// Once every finite animation and transition of the page has ended, saves a screenshot of it as NAME.png in
// the build's page-shots folder.
export async function shot(page, name) {
  await page.evaluate(() => Promise.all(document.getAnimations()
    .filter(a => a.effect && a.effect.getTiming().iterations !== Infinity).map(a => a.finished.catch(() => {}))));
  const dir = process.env.PAGE_SHOTS || path.join(os.tmpdir(), 'quillmar-page-shots');
  fs.mkdirSync(dir, { recursive: true });
  await page.screenshot({ path: path.join(dir, `${name}.png`) });
}

// Answers one API method with a fixed JSON value, in this test only.
export const answer = (page, method, value) => page.route(`**/api/${method}`,
  r => r.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify(value) }));

// A home with `clips`, the host on it and the page open in `browser`, closed with the test.
export async function rig(browser, t, clips, options = {}) {
  const made = makeHome(clips, options);
  const host = await startHost(made.home);
  const opened = await openPage(browser, host.base, { ...options, route: page => options.route?.(page, host) });
  t.after(async () => {
    await opened.context.close();
    await host.stop();
    fs.rmSync(made.home, { recursive: true, force: true });
  });
  const { page } = opened;
  const text = sel => page.locator(sel).allInnerTexts();
  // Polled on a timer: one test runs the page without animation frames.
  const noteText = async want =>
    page.waitForFunction(w => !$('note').hidden && $('note').textContent.includes(w), want, { polling: 100 });
  // Runs the program's own script for a host event in the page.
  const event = async command => page.evaluate(await host.event(command));
  // Waits for the host to log this file put on the clipboard.
  const clipboard = file => until(() => host.log.includes(`clipboard ${file}`), () => `${file} never reached the clipboard`);
  return { ...made, host, ...opened, text, noteText, event, clipboard,
    cards: id => page.locator(`#lib .grid figure[data-id=${JSON.stringify(id)}]`) };
}
