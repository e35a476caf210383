// What the reader's browser actually shows: a probe evaluated inside the loaded
// dossier, and the comparison of its findings with the record it was rendered from.

// Runs inside the page; must not close over anything. Returns plain data.
function pageProbe() {
  const describe = (el) => {
    let s = el.tagName.toLowerCase();
    if (el.id) s += `#${el.id}`;
    const cls = typeof el.className === 'string' ? el.className.trim() : '';
    if (cls) s += '.' + cls.split(/\s+/).join('.');
    const section = el.closest('section');
    if (section && section !== el) s += ` in section#${section.id}`;
    return s;
  };
  const isZero = (v) => v.trim().split(/\s+/).every((part) => parseFloat(part) === 0);
  const isInline = (url) => /^(data:|blob:|about:|javascript:)/i.test(url) || url.startsWith('#');
  const sameDocument = (url) => {
    try {
      const u = new URL(url, document.baseURI);
      const here = new URL(document.baseURI);
      return u.origin === here.origin && u.pathname === here.pathname;
    } catch (e) {
      return false;
    }
  };

  const corners = ['borderTopLeftRadius', 'borderTopRightRadius', 'borderBottomRightRadius',
    'borderBottomLeftRadius'];
  const rounded = [];
  const addresses = [];
  // Attributes through which an element loads something; plain hyperlinks (a, area) do not.
  const loading = ['src', 'srcset', 'poster', 'data', 'background', 'href', 'xlink:href'];
  const elements = [...document.querySelectorAll('*')];
  for (const el of elements) {
    for (const pseudo of [null, '::before', '::after']) {
      const cs = getComputedStyle(el, pseudo);
      if (pseudo && (cs.content === 'none' || cs.content === 'normal')) continue;
      const where = describe(el) + (pseudo ?? '');
      for (const prop of corners) {
        if (!isZero(cs[prop])) rounded.push({ element: where, property: prop, value: cs[prop] });
      }
      for (const prop of ['backgroundImage', 'listStyleImage', 'borderImageSource', 'maskImage',
        'content', 'cursor']) {
        for (const m of String(cs[prop] ?? '').matchAll(/url\("?([^")]*)"?\)/g)) {
          if (!isInline(m[1]) && !sameDocument(m[1])) {
            addresses.push({ element: where, attribute: `style ${prop}`, url: m[1] });
          }
        }
      }
    }
    // Rounded SVG rectangles are corners too.
    if (el instanceof SVGRectElement) {
      const cs = getComputedStyle(el);
      for (const prop of ['rx', 'ry']) {
        if (cs[prop] !== 'auto' && !isZero(cs[prop])) {
          rounded.push({ element: describe(el), property: prop, value: cs[prop] });
        }
      }
    }
    const tag = el.tagName.toLowerCase();
    if (tag === 'a' || tag === 'area') continue;
    for (const attr of loading) {
      const value = el.getAttribute(attr);
      if (value === null || value === '') continue;
      const urls = attr === 'srcset' ? value.split(',').map((c) => c.trim().split(/\s+/)[0]) : [value];
      for (const url of urls) {
        if (url && !isInline(url)) addresses.push({ element: describe(el), attribute: attr, url });
      }
    }
  }
  // Style sheets that pull in other sheets or font files.
  for (const sheet of document.styleSheets) {
    if (sheet.href) addresses.push({ element: 'style sheet', attribute: 'href', url: sheet.href });
    let rules = [];
    try { rules = [...sheet.cssRules]; } catch (e) { /* a cross-origin sheet is listed by its href */ }
    for (const rule of rules) {
      if (rule instanceof CSSImportRule) {
        addresses.push({ element: 'style sheet', attribute: '@import', url: rule.href });
      }
      if (rule instanceof CSSFontFaceRule) {
        for (const m of rule.style.getPropertyValue('src').matchAll(/url\("?([^")]*)"?\)/g)) {
          if (!isInline(m[1])) addresses.push({ element: 'style sheet', attribute: '@font-face', url: m[1] });
        }
      }
    }
  }

  const nav = document.querySelector('nav');
  let navState = null;
  if (nav) {
    const cs = getComputedStyle(nav);
    const before = nav.getBoundingClientRect();
    window.scrollTo(0, document.documentElement.scrollHeight);
    const after = nav.getBoundingClientRect();
    const scrolled = window.scrollY;
    window.scrollTo(0, 0);
    navState = {
      position: cs.position, top: cs.top, rectTop: before.top, width: before.width,
      viewportWidth: document.documentElement.clientWidth, topAfterScroll: after.top, scrolled,
      links: [...nav.querySelectorAll('a')].map((a) => ({ href: a.getAttribute('href'), text: a.textContent })),
    };
  }

  const grid = document.querySelector('.hero-grid');
  let heroState = null;
  if (grid) {
    const cs = getComputedStyle(grid);
    heroState = {
      display: cs.display,
      columns: cs.gridTemplateColumns.trim().split(/\s+/).length,
      template: cs.gridTemplateColumns,
      cells: grid.children.length,
      cellTops: [...grid.children].map((c) => Math.round(c.getBoundingClientRect().top)),
    };
  }

  // Sections of the document itself: a section nested in another belongs to that one's body.
  const sections = [...document.querySelectorAll('section')]
    .filter((s) => s.parentElement.closest('section') === null).map((s) => {
    const heading = s.querySelector('h1, h2');
    const rect = s.getBoundingClientRect();
    return {
      id: s.id,
      heading: heading ? heading.textContent : null,
      headingTag: heading ? heading.tagName.toLowerCase() : null,
      headingFirst: s.firstElementChild === heading,
      height: rect.height,
      displayed: getComputedStyle(s).display !== 'none' && rect.height > 0,
    };
  });

  const bodyStyle = getComputedStyle(document.body);
  return {
    title: document.title,
    url: document.URL,
    elements: elements.length,
    rounded,
    addresses,
    resources: performance.getEntriesByType('resource').map((e) => e.name),
    nav: navState,
    hero: heroState,
    sections,
    background: bodyStyle.backgroundColor,
    color: bodyStyle.color,
  };
}

export const PROBE_EXPRESSION = `(${pageProbe.toString()})()`;
export const HERO_COLUMNS_EXPRESSION = `(() => { const g = document.querySelector('.hero-grid');
  return g ? getComputedStyle(g).gridTemplateColumns.trim().split(/\\s+/).length : null; })()`;

// Requests other than the document itself; a failed host lookup shows up here even
// when it leaves no resource-timing entry.
export function foreignRequests(requests, pageUrl) {
  return requests.filter((r) => r.url !== pageUrl && !/^(data:|blob:|about:)/.test(r.url));
}

// Compares what the browser saw with the record. Returns a list of problem texts;
// `wide` and `narrow` are the probe at 1200 px and the hero column count at 800 px.
export function judge({ record, wide, narrowColumns, requests, exceptions, pageUrl }) {
  const problems = [];
  const text = (v) => (v === null ? 'None' : v === true ? 'True' : v === false ? 'False' : String(v));

  for (const r of foreignRequests(requests, pageUrl)) {
    problems.push(`request left the page: ${r.url}${r.failed ? ` (${r.failed})` : ''}`);
  }
  for (const name of wide.resources) {
    if (!requests.some((r) => r.url === name)) problems.push(`resource loaded: ${name}`);
  }
  for (const a of wide.addresses) {
    problems.push(`non-inline address in ${a.element} ${a.attribute}: ${a.url}`);
  }
  for (const e of exceptions) problems.push(`script error: ${e}`);
  for (const r of wide.rounded) problems.push(`rounded corner: ${r.element} ${r.property} = ${r.value}`);

  if (!wide.nav) {
    problems.push('no nav element');
  } else {
    const n = wide.nav;
    if (n.position !== 'fixed') problems.push(`nav position is ${n.position}, not fixed`);
    if (n.top !== '0px' || n.rectTop !== 0) problems.push(`nav is not at the top (top ${n.top}, drawn at ${n.rectTop})`);
    if (n.topAfterScroll !== 0) problems.push(`nav moved to ${n.topAfterScroll} after scrolling ${n.scrolled}px`);
    if (Math.round(n.width) !== n.viewportWidth) problems.push(`nav is ${n.width}px wide in a ${n.viewportWidth}px viewport`);
  }

  if (!wide.hero) {
    problems.push('no hero grid');
  } else {
    if (wide.hero.display !== 'grid') problems.push(`hero grid display is ${wide.hero.display}`);
    if (wide.hero.columns !== 6) problems.push(`hero grid shows ${wide.hero.columns} columns at 1200px, not 6 (${wide.hero.template})`);
  }
  if (narrowColumns !== 2) problems.push(`hero grid shows ${narrowColumns} columns at 800px, not 2`);

  const stats = Array.isArray(record.hero_stats) ? record.hero_stats : [];
  if (wide.hero && wide.hero.cells !== stats.length) {
    problems.push(`hero grid has ${wide.hero.cells} cells for ${stats.length} stats`);
  }

  // Sections: the overview, then one per record section, in record order, each led by its heading.
  const company = 'company' in record ? record.company : 'Company';
  const expected = [{ id: 'overview', title: text(company), tag: 'h1' }];
  for (const s of Array.isArray(record.sections) ? record.sections : []) {
    expected.push({ id: text(s.id), title: text(s.title), tag: 'h2' });
  }
  const seen = wide.sections;
  if (seen.length !== expected.length) {
    problems.push(`page has ${seen.length} sections, the record ${expected.length}: [${seen.map((s) => s.id).join(', ')}]`);
  }
  expected.forEach((want, i) => {
    const got = seen[i];
    if (!got) return;
    if (got.id !== want.id) problems.push(`section ${i}: id ${JSON.stringify(got.id)}, expected ${JSON.stringify(want.id)}`);
    if (got.heading !== want.title || got.headingTag !== want.tag) {
      problems.push(`section ${i} (${want.id}): heading ${got.headingTag} ${JSON.stringify(got.heading)}, expected ${want.tag} ${JSON.stringify(want.title)}`);
    }
    if (want.tag === 'h2' && !got.headingFirst) problems.push(`section ${i} (${want.id}): heading is not its first element`);
    if (!got.displayed) problems.push(`section ${i} (${want.id}) is not displayed`);
  });
  const links = wide.nav ? wide.nav.links : [];
  const wantLinks = expected.slice(1).map((s) => ({ href: `#${s.id}`, text: s.title }));
  if (JSON.stringify(links) !== JSON.stringify(wantLinks)) {
    problems.push(`nav links ${JSON.stringify(links)} differ from the record's sections ${JSON.stringify(wantLinks)}`);
  }

  if (wide.background !== 'rgb(10, 10, 10)') problems.push(`page background is ${wide.background}, not the dark #0a0a0a`);
  return problems;
}
