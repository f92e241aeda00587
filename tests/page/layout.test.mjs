// The page's layout in Chromium against the page host, as a player sees it at any window size: the library,
// the settings and the player swept from 800 to 1920 px wide (a screenshot of each in page-shots/), with no
// label under its control and no text cut without an ellipsis; the hero, its selection mark, the session
// heads' separators, the capsule's width at rest and the texts of this platform.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { answer, clip, launch, rig, shot } from './page_rig.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

const CHECK = fs.readFileSync(path.join(path.dirname(fileURLToPath(import.meta.url)), 'layout_check.js'), 'utf8');
const SIZES = [[800, 800], [900, 800], [1000, 800], [1024, 640], [1024, 768], [1080, 800], [1100, 800], [1180, 800],
  [1280, 800], [1366, 768], [1440, 900], [1600, 900], [1920, 1080]];
const CAPS = { codecs: ['H264', 'Hevc', 'Av1'], monitorWidth: 2560, monitorHeight: 1440, monitorHz: 144,
  monitors: [{ id: 'DP-1', width: 2560, height: 1440, hz: 144, primary: true },
    { id: 'HDMI-1', width: 1920, height: 1080, hz: 60, primary: false }],
  microphones: [{ id: 'mic-1', name: 'Microphone USB de la webcam avec un nom très long', isDefault: true }],
  outputs: [{ id: 'out-1', name: 'Sortie analogique stéréo du casque', isDefault: true }] };
const CLIPS = [
  clip('Partie du soir', { game: 'Baldur\'s Gate 3', title: 'Le boss final en une seule tentative, sans soin ni bouclier' }),
  clip('Boss', { game: 'Baldur\'s Gate 3', ago: 900, favorite: true }),
  clip('Course', { game: 'Trackmania', ago: 9000 }), clip('Tour', { game: 'Trackmania', ago: 9100 }),
  clip('Saut', { game: 'Celeste', ago: 90000 }),
];

const settle = page => page.evaluate(() => new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done))));

// Resizes the window to each size, lets the page settle, keeps a screenshot and gathers what is broken.
async function sweep(page, view, faults, extra = async () => []) {
  for (const [w, h] of SIZES) {
    await page.setViewportSize({ width: w, height: h });
    await settle(page);
    await shot(page, `sweep-${view}-${w}x${h}`);
    const found = [...await page.evaluate(() => layoutFaults()), ...await extra(w, h)];
    faults.push(...found.map(f => `${view} ${w}x${h}: ${f}`));
  }
}

test('library, settings and player from 800 to 1920 px: no label under its control, no text cut', async t => {
  const r = await rig(browser, t, CLIPS, { route: page => answer(page, 'caps', CAPS) });
  const { page } = r;
  await page.evaluate(CHECK);
  await page.waitForFunction(() => [...document.querySelectorAll('#lib img')].every(i => i.complete));
  const faults = [];
  // The hero keeps its four actions on one line, its detail line whole and its size with its unit.
  await sweep(page, 'library', faults, () => page.evaluate(() => {
    const acts = [...document.querySelectorAll('#lib .hero .acts button')].map(b => b.getBoundingClientRect().top);
    const line = document.querySelector('#lib .hero .hero-t small:last-of-type');
    const parted = heroUnitParts();
    return [...(new Set(acts).size > 1 ? ['the hero\'s actions wrap'] : []),
      ...(line.scrollWidth > line.clientWidth ? [`the hero's detail line is cut: ${line.textContent}`] : []),
      ...(parted.length ? [`the hero's size leaves its unit with game names of ${parted} characters`] : [])];
  }));
  // The counts of a selection's title and of a removal's note, as they show.
  await page.keyboard.press('Control+a');
  await r.event({ event: 'removed', ids: ['x', 'y'] });
  faults.push(...(await page.evaluate(() => layoutFaults())).map(f => `selection: ${f}`));
  await page.evaluate(() => hideNote());
  await page.keyboard.press('Escape');
  await page.click('#nav-settings');
  await page.waitForSelector('#settings .grp');
  await sweep(page, 'settings', faults);
  await page.click('#nav-list [data-filter=all]');
  await r.cards('Boss').locator('.thumb').click();
  await page.waitForFunction(() => $('player').querySelector('video')?.readyState >= 1);
  await page.evaluate(() => $('player').querySelector('video').pause());
  await sweep(page, 'player', faults);
  assert.deepEqual(faults, []);
});

// Where a pseudo-element sits, from its computed place in its owner's box.
const tickBox = (page, id) => page.evaluate(id => {
  const fig = [...document.querySelectorAll('#lib figure')].find(f => f.dataset.id === id && f.classList.contains('hero'));
  const owner = [fig, fig.querySelector('.thumb')].find(el => getComputedStyle(el, '::after').content !== 'none');
  const cs = getComputedStyle(owner, '::after'), r = owner.getBoundingClientRect();
  const w = parseFloat(cs.width), top = r.top + parseFloat(cs.top);
  const left = r.right - parseFloat(cs.right) - w;
  const thumb = fig.querySelector('.thumb').getBoundingClientRect();
  return { tick: [left, top, left + w, top + parseFloat(cs.height)], thumb: [thumb.left, thumb.top, thumb.right, thumb.bottom] };
}, id);

test('the selected hero is marked on its thumbnail; separators of a line share one font', async t => {
  const r = await rig(browser, t, CLIPS);
  const { page } = r;
  await page.click('#lib .hero .thumb', { modifiers: ['Control'] });
  const { tick, thumb } = await tickBox(page, 'Partie du soir');
  assert.ok(tick[0] >= thumb[0] && tick[2] <= thumb[2] && tick[1] >= thumb[1] && tick[3] <= thumb[3],
    `the mark ${tick} lies outside the thumbnail ${thumb}`);
  // Each middle dot of a session head, with the spaces around it, in one font.
  const fonts = await page.$$eval('#lib .sh', heads => heads.map(head => {
    const walker = document.createTreeWalker(head, NodeFilter.SHOW_TEXT);
    const families = new Set();
    for (let n = walker.nextNode(); n; n = walker.nextNode()) {
      if (n.textContent.includes('·')) families.add(getComputedStyle(n.parentElement).fontFamily);
    }
    return [...families];
  }));
  assert.ok(fonts.length > 0 && fonts.every(f => f.length === 1), JSON.stringify(fonts));
});

test('the capsule at rest is as wide as what it shows', async t => {
  const r = await rig(browser, t, [clip('a')]);
  const { page } = r;
  // Idle: "En veille" and no time.
  await page.waitForFunction(() => $('pill-l').textContent === 'En veille');
  await page.evaluate(() => Promise.all(document.getAnimations().map(a => a.finished.catch(() => {}))));
  // What it shows: the led, the label and the time (empty here) with the gaps between them and the padding.
  const [pill, content] = await page.evaluate(() => {
    const head = $('pill-head'), cs = getComputedStyle(head);
    const kids = [...head.children].map(k => k.getBoundingClientRect().width);
    return [$('pill').getBoundingClientRect().width, kids.reduce((a, b) => a + b, 0) +
      parseFloat(cs.columnGap) * (kids.length - 1) + parseFloat(cs.paddingLeft) + parseFloat(cs.paddingRight)];
  });
  assert.ok(Math.abs(pill - content) <= 2, `the capsule is ${pill} px wide for ${content} px of content`);
});

test('no text of the page or its API names Windows', async t => {
  const r = await rig(browser, t, [clip('a')], { route: page => answer(page, 'caps', CAPS) });
  const { page } = r;
  for (const file of ['index.html', 'app.js', 'player.js', 'glass.js']) {
    const text = await (await fetch(new URL(file, r.host.base))).text();
    assert.doesNotMatch(text, /Windows/, file);
  }
  await page.click('#nav-settings');
  await page.waitForSelector('#settings .grp');
  const shownText = await page.evaluate(() => [$('settings').innerText,
    ...[...document.querySelectorAll('#settings select option')].map(o => o.textContent)].join('\n'));
  for (const want of ['Micro par défaut du système', 'Sortie par défaut du système', 'Démarrer avec la session',
    'Les favoris restent toujours. Le ménage passe par la corbeille.']) assert.ok(shownText.includes(want), want);
});
