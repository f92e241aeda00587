// What a player would see as broken in the page as it is laid out now, as a list of texts (empty when none):
// text cut without an ellipsis, by its own box or a box around it; text spilling out of its box over what is
// beside it (a label under its control); the in-flow children of a row or grid overlapping each other; text
// past the window's edge; a figure and its unit (or the two sides of a "×") that a line may part, in the page's
// own texts and tooltips (titles and games are the player's). A plain script, run as it is by the Chromium
// tests and the WebKitGTK view's test.
(() => {
  const SLACK = 1;
  const clips = cs => cs.overflowX !== 'visible' || cs.overflowY !== 'visible';
  const scrolls = cs => /auto|scroll/.test(cs.overflowX + cs.overflowY);
  const ellipsized = cs => (cs.textOverflow === 'ellipsis' && cs.overflowX !== 'visible') ||
    (cs.getPropertyValue('-webkit-line-clamp') || 'none') !== 'none';
  const inside = (a, b) => a.left >= b.left - SLACK && a.right <= b.right + SLACK && a.top >= b.top - SLACK &&
    a.bottom <= b.bottom + SLACK;
  const meet = (a, b) => ({ left: Math.max(a.left, b.left), right: Math.min(a.right, b.right),
    top: Math.max(a.top, b.top), bottom: Math.min(a.bottom, b.bottom) });
  const overlap = (a, b) => Math.min(a.right, b.right) - Math.max(a.left, b.left) > SLACK &&
    Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > SLACK;

  // Shown: laid out, not hidden, and neither it nor anything around it transparent.
  function shown(el) {
    if (!el.getClientRects().length) return false;
    for (let e = el; e && e.nodeType === 1; e = e.parentElement) {
      const cs = getComputedStyle(e);
      if (cs.visibility === 'hidden' || Number(cs.opacity) === 0 || cs.display === 'none') return false;
    }
    return true;
  }

  function describe(el) {
    const id = el.id ? `#${el.id}` : '';
    const cls = typeof el.className === 'string' && el.className.trim() ? '.' + el.className.trim().split(/\s+/).join('.') : '';
    const text = (el.textContent || '').trim().replace(/\s+/g, ' ').slice(0, 40);
    return `${el.tagName.toLowerCase()}${id}${cls} "${text}"`;
  }

  // The box the element's own text takes, or null when it has none.
  function textBox(el) {
    let box = null;
    for (const node of el.childNodes) {
      if (node.nodeType !== 3 || !node.textContent.trim()) continue;
      const range = document.createRange();
      range.selectNodeContents(node);
      for (const r of range.getClientRects()) {
        if (!r.width) continue;
        box = box ? { left: Math.min(box.left, r.left), right: Math.max(box.right, r.right),
          top: Math.min(box.top, r.top), bottom: Math.max(box.bottom, r.bottom) } : r;
      }
    }
    return box;
  }

  function textFaults(el, faults) {
    let text = textBox(el);
    if (!text) return;
    const cs = getComputedStyle(el);
    const own = el.getBoundingClientRect();
    if (ellipsized(cs)) text = meet(text, own);
    else if (!inside(text, own)) {
      faults.push(`${clips(cs) ? 'cut without an ellipsis' : 'spills out of its box'}: ${describe(el)}`);
      return;
    }
    if (text.right > innerWidth + SLACK || text.left < -SLACK) {
      faults.push(`past the window's edge: ${describe(el)}`);
      return;
    }
    for (let a = el.parentElement; a && a !== document.body; a = a.parentElement) {
      const acs = getComputedStyle(a);
      if (!clips(acs) || scrolls(acs)) continue;
      if (!inside(text, a.getBoundingClientRect())) {
        faults.push(`cut by ${describe(a).split(' ')[0]}: ${describe(el)}`);
        return;
      }
    }
  }

  // A breakable space between a figure and its unit: at some width the line ends on "6,0" with "Mo" below. A
  // count and its word are one the same way ("2 clips", "3 sélectionnés").
  const SPLIT = /\d[ \t\r\n]+(?:Mo|Go|Ko|min|jours|Hz|fps|kbit\/s|ms|s|%|×|clips?|sélectionnés?|anciens)(?![\p{L}\d])|×[ \t\r\n]+\d/u;
  function splitFaults(el, faults) {
    if (el.closest('.title, .game')) return;
    const texts = [...el.childNodes].filter(n => n.nodeType === 3).map(n => n.textContent);
    if (el.dataset && el.dataset.tip) texts.push(el.dataset.tip);
    for (const text of texts) {
      const found = SPLIT.exec(text);
      if (found) faults.push(`figure and unit may part at "${found[0]}": ${describe(el)}`);
    }
  }

  // Children of a flex or grid container that take part in its layout.
  function rowFaults(el, faults) {
    const cs = getComputedStyle(el);
    if (!/flex|grid/.test(cs.display)) return;
    const kids = [...el.children].filter(k => {
      const kcs = getComputedStyle(k);
      return shown(k) && kcs.position !== 'absolute' && kcs.position !== 'fixed' && k.getBoundingClientRect().width > 0;
    });
    for (let i = 0; i < kids.length; i++) {
      for (let j = i + 1; j < kids.length; j++) {
        if (overlap(kids[i].getBoundingClientRect(), kids[j].getBoundingClientRect())) {
          faults.push(`overlap in ${describe(el).split(' ')[0]}: ${describe(kids[i])} and ${describe(kids[j])}`);
        }
      }
    }
  }

  // The hero's detail line wraps where its game name ends: for each length of that name, from 1 to `most`
  // characters, the last figure and its unit stay on one line. Gives the lengths that part them (none when
  // there is no hero); the name is put back.
  window.heroUnitParts = (most = 60) => {
    const line = document.querySelector('#lib .hero .hero-t small:last-of-type');
    const game = line && line.querySelector('.game');
    const text = line && [...line.childNodes].reverse().find(n => n.nodeType === 3);
    const at = text ? text.textContent.search(/\d+(,\d+)?\s*(Mo|Go)$/) : -1;
    if (!game || at < 0) return [];
    const was = game.textContent, parted = [];
    for (let n = 1; n <= most; n++) {
      game.textContent = 'Jeu ' + 'm'.repeat(n);
      const range = document.createRange();
      range.setStart(text, at);
      range.setEnd(text, text.textContent.length);
      if (new Set([...range.getClientRects()].filter(r => r.width).map(r => Math.round(r.top))).size > 1) parted.push(n);
    }
    game.textContent = was;
    return parted;
  };

  window.layoutFaults = (root = document.body) => {
    const faults = [];
    for (const el of [root, ...root.querySelectorAll('*')]) {
      if (/^(SCRIPT|STYLE|OPTION|SELECT|INPUT|svg|path|TEXTAREA)$/.test(el.tagName) || el.closest('svg')) continue;
      if (!shown(el)) continue;
      textFaults(el, faults);
      rowFaults(el, faults);
      splitFaults(el, faults);
    }
    return [...new Set(faults)];
  };
})();
