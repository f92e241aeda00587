// The page with a large library, in Debian's Chromium through the test host (never part of ctest).
//
//   node bench/page_startup.mjs [CLIPS]      (PAGE_HOST defaults to build/tests/page_host)
//
// A private home holds CLIPS clips (3000 by default): hard links of one MP4 made with ffmpeg, each with its
// own sidecar and a hard link of one JPEG thumbnail, spread over games and play sessions. For each of five
// loads of the page it measures, in the page's own clock:
// - start-up: from navigation to the page's ready call, against the slowest of "state", "clips" and "status"
//   called alone from the same page once its thumbnails have arrived (median of five calls each);
// - search: from each keystroke typed into the search field to the end of the next frame (a message posted
//   from a frame callback requested after the page's own input listener runs once that frame is drawn), over
//   all keystrokes and over those that rebuilt the list.
// Prints each load's figures, then the medians as JSON.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launch, startHost } from '../tests/page/page_rig.mjs';

const count = Number(process.argv[2] || 3000);
const loads = 5;
const median = list => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];

function makeHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmar-bench-'));
  const folder = path.join(home, 'Videos', 'quill.mar');
  const side = path.join(folder, '.quillmar');
  fs.mkdirSync(side, { recursive: true });
  const mp4 = path.join(home, 'source.mp4'), jpg = path.join(home, 'source.jpg');
  execFileSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc2=size=320x180:rate=30', '-t', '3',
    '-pix_fmt', 'yuv420p', '-c:v', 'libx264', '-movflags', '+faststart', mp4]);
  execFileSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc2=size=400x225', '-frames:v', '1', jpg]);
  const bytes = fs.statSync(mp4).size;
  const now = Math.floor(Date.now() / 1000);
  for (let i = 0; i < count; i++) {
    const id = `Partie ${String(i).padStart(5, '0')}`;
    fs.linkSync(mp4, path.join(folder, `${id}.mp4`));
    fs.linkSync(jpg, path.join(side, `${id}.jpg`));
    // Sessions of about ten clips a few minutes apart, an hour and more between sessions.
    const created = now - i * 240 - Math.floor(i / 10) * 4000;
    const record = { id, title: `Clip ${i} de la partie`, game: `Jeu ${Math.floor(i / 10) % 12}`, created,
      secs: 3.0, bytes, favorite: i % 17 === 0, recording: false, width: 320, height: 180 };
    fs.writeFileSync(path.join(side, `${id}.json`), JSON.stringify(record).replace('"secs":3', '"secs":3.0'));
  }
  return home;
}

// Runs before the page's scripts: notes when the page calls ready, and measures each keystroke in the
// search field to the end of the frame that follows it.
const probe = () => {
  const fetchFirst = window.fetch;
  window.fetch = (url, ...rest) => {
    if (String(url).endsWith('/api/ready')) window.__readyAt = performance.now();
    return fetchFirst(url, ...rest);
  };
  window.__keys = [];
  addEventListener('keydown', e => {
    if (e.target.id !== 'q') return;
    const pressed = e.timeStamp;
    // A list that the keystroke rebuilt starts with new elements.
    const lib = document.getElementById('lib'), first = lib.firstElementChild;
    // Registered after the page's own input listener, so this frame callback runs after its render.
    e.target.addEventListener('input', () => requestAnimationFrame(() => {
      const channel = new MessageChannel();
      const rebuilt = lib.firstElementChild !== first;
      channel.port1.onmessage = () => {
        window.__keys.push({ ms: performance.now() - pressed, rebuilt });
        window.__keyShown();
      };
      channel.port2.postMessage(0);
    }), { once: true });
  }, true);
};

async function loadOnce(browser, base) {
  const context = await browser.newContext({ locale: 'fr-FR', timezoneId: 'Europe/Paris',
    viewport: { width: 1280, height: 800 } });
  const page = await context.newPage();
  await page.addInitScript(probe);
  // The driver waits on the wire and through a binding: a script it ran in the page to poll would compete
  // with the page's own start-up and frames.
  let shown = null;
  await page.exposeBinding('__keyShown', () => shown());
  const readyCall = page.waitForRequest(r => r.url().endsWith('/api/ready'), { timeout: 120000 });
  await page.goto(base);
  await readyCall;
  // Where start-up's time goes, from the page's resource timings: when the slowest call left and was answered.
  const { ready, sent, answered } = await page.evaluate(() => {
    const [clips] = performance.getEntriesByName(new URL('/api/clips', location).href);
    return { ready: window.__readyAt, sent: clips.startTime, answered: clips.responseEnd };
  });
  // The calls alone wait for the thumbnails the page asked for, which would slow them down.
  await page.waitForLoadState('networkidle');
  const alone = await page.evaluate(async () => {
    const out = {};
    for (const method of ['state', 'clips', 'status']) {
      const times = [];
      for (let i = 0; i < 5; i++) {
        const start = performance.now();
        await (await fetch('/api/' + method, { method: 'POST', body: '{}' })).json();
        times.push(performance.now() - start);
      }
      out[method] = times.sort((a, b) => a - b)[2];
    }
    return out;
  });
  const listed = await page.evaluate(() => S.clips.length);
  await page.click('#q');
  const text = 'partie 12';
  for (const key of [...text, 'Backspace', 'Backspace', 'Backspace', '3', 'Backspace', 'Backspace']) {
    const measured = new Promise(resolve => { shown = resolve; });
    await page.keyboard.press(key === ' ' ? 'Space' : key);
    await measured;
  }
  const keys = await page.evaluate(() => window.__keys);
  await context.close();
  const slowest = Math.max(...Object.values(alone));
  const rebuilt = keys.filter(k => k.rebuilt).map(k => k.ms);
  return { listed, ready, sent, answered, alone, ratio: ready / slowest, keyFrame: median(keys.map(k => k.ms)),
    keys: keys.length, rebuiltFrame: median(rebuilt), rebuilt: rebuilt.length };
}

const home = makeHome();
const host = await startHost(home);
const browser = await launch();
try {
  const runs = [];
  for (let i = 0; i < loads; i++) {
    const run = await loadOnce(browser, host.base);
    if (run.listed !== count) throw new Error(`${run.listed} clips listed, ${count} expected`);
    runs.push(run);
    console.log(`load ${i + 1}: clips sent ${run.sent.toFixed(1)}, answered ${run.answered.toFixed(1)}, ` +
      `ready ${run.ready.toFixed(1)} ms, alone ` +
      Object.entries(run.alone).map(([m, t]) => `${m} ${t.toFixed(1)}`).join(', ') +
      ` ms, ratio ${run.ratio.toFixed(2)}, keystroke to frame ${run.keyFrame.toFixed(1)} ms (median of ${run.keys}), ` +
      `${run.rebuiltFrame.toFixed(1)} ms where the list was rebuilt (median of ${run.rebuilt})`);
  }
  console.log(JSON.stringify({ clips: count, ratio: median(runs.map(r => r.ratio)),
    keyToFrameMs: median(runs.map(r => r.keyFrame)), rebuiltKeyToFrameMs: median(runs.map(r => r.rebuiltFrame)) }));
} finally {
  await browser.close();
  await host.stop();
  fs.rmSync(home, { recursive: true, force: true });
}
