// Report data records for the browser checks: a rich one that uses every kind of
// markup the style sheet serves, a broken one, and the plain "frame" twin of any
// record that the Nu checker's errors are measured against. All deterministic.

// The record's shape with every value replaced by inert filler: same number of hero
// stats, sections and sources, no markup of its own. Keys the record lacks stay absent.
export function frameRecord(record) {
  const frame = {};
  const filler = { company: 'Company', industry: 'Industry', founded: '2000', city: 'City',
    country: 'Country', subtitle_suffix: 'Full Dossier', generated: '2026' };
  for (const [key, value] of Object.entries(filler)) if (key in record) frame[key] = value;
  if (Array.isArray(record.hero_stats)) {
    frame.hero_stats = record.hero_stats.map((s, i) => ({ label: `Label ${i + 1}`, value: `${i + 1}`,
      sub: 'Sub', pos: Boolean(s && s.pos) }));
  }
  if (Array.isArray(record.sections)) {
    frame.sections = record.sections.map((_, i) => ({ id: `section-${i + 1}`, title: `Section ${i + 1}`,
      subtitle: 'Subtitle', body_html: '' }));
  }
  if (Array.isArray(record.sources)) frame.sources = record.sources.map((_, i) => `Source ${i + 1}`);
  return frame;
}

// Markup of one table the way section bodies carry it: header row, rows, right-aligned
// figure columns.
function table(headers, rows, numeric = []) {
  const cell = (tag, i, v) => (numeric.includes(i) ? `<${tag} class="num">${v}</${tag}>` : `<${tag}>${v}</${tag}>`);
  return '<table><tr>' + headers.map((h, i) => cell('th', i, h)).join('') + '</tr>'
    + rows.map((r) => '<tr>' + r.map((v, i) => cell('td', i, v)).join('') + '</tr>').join('') + '</table>';
}

const tag = (kind, text) => `<span class="tag tag-${kind}">${text}</span>`;

// A small, linear pseudo-random sequence so generated figures vary but never change.
function* figures(seed) {
  let x = seed;
  for (;;) {
    x = (x * 1103515245 + 12345) % 2147483648;
    yield x / 2147483648;
  }
}

export function richRecord() {
  const rnd = figures(20260);
  const money = () => (100 + rnd.next().value * 9000).toFixed(1);
  const pct = () => {
    const v = (rnd.next().value * 40 - 12).toFixed(1);
    return v.startsWith('-') ? `<span class="neg">${v}%</span>` : `<span class="pos">+${v}%</span>`;
  };
  const years = [2021, 2022, 2023, 2024, 2025];
  const sections = [];
  const add = (id, title, subtitle, body) => sections.push({ id, title, subtitle, body_html: body });

  add('executive-summary', 'Executive Summary', 'What matters, in one page',
    '<div class="note"><strong>Bottom line:</strong> a profitable mid-cap supplier whose growth '
    + 'depends on two export customers → concentration risk.</div>'
    + '<ul><li>Revenue grew four years running</li><li>Net cash since 2023</li>'
    + '<li>Founder family holds 61.4% ★ voting control</li></ul>');
  add('corporate-profile', 'Corporate Profile', 'Registration, structure, addresses',
    table(['Field', 'Value', 'Source'], [
      ['Registered name', 'Siam Lattice Materials Public Company Limited', tag('verified', 'Registry')],
      ['Registration no.', '0107559000123', tag('verified', 'Registry')],
      ['Head office', '88/4 Rama IV Road, Khlong Toei, Bangkok 10110', tag('claim', 'Website')],
      ['Thai name', 'บริษัท สยาม แลตทิซ แมทีเรียลส์ จำกัด (มหาชน)', tag('verified', 'Registry')],
    ]));
  add('leadership', 'Leadership & Board', 'Who runs it and who oversees them',
    ['Ananda Wiriyakul', 'Malee Chaisiri', 'Jonas Verhoeven'].map((name, i) =>
      `<div class="card"><h3>${name}</h3><p class="label">${['Chief Executive', 'Chief Financial Officer', 'Independent Director'][i]}</p>`
      + `<p>Tenure since ${2012 + i * 3}. ${tag(i === 2 ? 'unverified' : 'verified', i === 2 ? 'Unverified' : 'Filing')}</p></div>`).join(''));
  add('ownership', 'Ownership', 'Shareholders above one per cent',
    table(['Holder', 'Shares (m)', 'Stake'], [
      ['Wiriyakul family', '412.0', '61.4%'], ['Thai NVDR', '58.3', '8.7%'],
      ['Free float', '200.7', '29.9%']], [1, 2]));
  add('financials', 'Financials', 'Five years, THB millions',
    table(['Year', 'Revenue', 'EBITDA', 'Net income', 'Growth'],
      years.map((y) => [String(y), money(), money(), money(), pct()]), [1, 2, 3, 4])
    + '<div class="note">Figures from audited statements; 2025 is the trailing twelve months.</div>');
  add('segments', 'Business Segments', 'Where the money comes from',
    '<h3>By product line</h3>' + table(['Segment', 'Share', 'Margin'],
      [['Coated steel', '46%', '12.1%'], ['Polymer films', '31%', '17.9%'], ['Services', '23%', '8.4%']], [1, 2])
    + '<h3>By region</h3>' + table(['Region', 'Share'],
      [['Thailand', '54%'], ['Vietnam', '19%'], ['Japan', '15%'], ['Other', '12%']], [1]));
  add('products', 'Products', 'Lines, brands, certifications',
    '<ul>' + ['LatticeCoat™ galvanised coil', 'ClearWrap food-grade film', 'On-site slitting service',
      'R&amp;D contract work &lt;pilot&gt;'].map((p) => `<li>${p}</li>`).join('') + '</ul>');
  add('market', 'Market Position', 'Share, size, direction',
    '<div class="card"><p class="label">Domestic share</p><p>About 14% of coated steel, third of nine.</p></div>'
    + '<div class="card"><p class="label">Market growth</p><p><span class="pos">+4.2%</span> a year to 2030 (industry body).</p></div>');
  add('competitors', 'Competitors', 'The five nearest',
    table(['Company', 'Revenue', 'Share', 'Listed'],
      ['North Star Coil', 'Chao Metal', 'Pacific Sheet', 'Delta Films', 'Kanto Wrap'].map((c, i) =>
        [c, money(), `${(20 - i * 3).toFixed(1)}%`, i % 2 ? 'No' : 'Yes']), [1, 2]));
  add('customers', 'Customers & Suppliers', 'Concentration on both sides',
    '<div class="note"><strong>Concentration:</strong> the two largest customers bought 38% of 2024 sales.</div>'
    + table(['Counterparty', 'Role', 'Share'], [['Export customer A', 'customer', '21%'],
      ['Export customer B', 'customer', '17%'], ['Steel mill C', 'supplier', '44%']], [2]));
  add('esg', 'ESG', 'Environment, social, governance',
    '<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 300 80" style="width:300px;height:80px;">'
    + [34, 52, 47, 61, 70].map((h, i) => `<rect x="${i * 60 + 10}" y="${80 - h}" width="40" height="${h}" fill="#0F766E"/>`).join('')
    + '</svg><p class="src">Scope 1 and 2 emissions index, 2021–2025</p>');
  add('legal', 'Legal & Regulatory', 'Cases, fines, licences',
    '<ul><li>No insolvency filings found (negative search, registry 2026)</li>'
    + '<li>One customs dispute settled in 2023 ' + tag('claim', 'Press') + '</li></ul>');
  add('news', 'Recent News', 'Last twelve months',
    table(['Date', 'Headline', 'Source'], [
      ['2026-03-02', 'Opens second line in Rayong', '<a href="#sources">Press release</a>'],
      ['2025-11-18', 'Q3 profit up 9% year on year', '<a href="#financials">Filing</a>'],
      ['2025-07-30', '“Quiet” CFO change announced', 'Exchange notice']]));
  add('risks', 'Risks', 'Ranked by likelihood × impact',
    ['Customer concentration', 'Steel price swings', 'Baht strength'].map((r, i) =>
      `<div class="card"><h3>${i + 1}. ${r}</h3><p>${tag(['verified', 'claim', 'unverified'][i], ['High', 'Medium', 'Low'][i])} Rated from filings and interviews.</p></div>`).join(''));
  add('swot', 'SWOT', 'Strengths, weaknesses, opportunities, threats',
    table(['Strengths', 'Weaknesses', 'Opportunities', 'Threats'],
      [['Net cash', 'Two big customers', 'EV battery casings', 'Cheap imports'],
        ['Low-cost plant', 'Family control', 'ASEAN demand', 'Energy prices']]));
  add('contradictions', 'Contradictions', 'Where sources disagree',
    '<div class="note"><strong>Headcount:</strong> 1,240 (annual report) ↔ 1,410 (website).</div>');
  add('gaps', 'Open Questions', 'What could not be established',
    '<ul><li>Terms of the 2024 supply contract</li><li>Off-balance-sheet guarantees</li></ul>');
  add('sources', 'Sources', 'Every source cited above',
    '<ol><li>Department of Business Development registry</li><li>Annual reports 2021–2025</li>'
    + '<li>Exchange notices</li></ol>');

  return {
    company: 'Siam Lattice Materials "SLM" & Co',
    industry: 'Coated steel & polymer films',
    founded: 1987,
    city: 'Bangkok',
    country: 'Thailand',
    subtitle_suffix: 'Full Dossier — rich sample',
    hero_stats: [
      { label: 'Revenue 2025', value: 'THB 8.4bn', sub: '+6.1% y/y', pos: true },
      { label: 'Net margin', value: '7.9%', sub: 'five-year high' },
      { label: 'Employees', value: '1,240', sub: 'annual report' },
      { label: 'Market cap', value: 'THB 11.2bn', sub: '2026-03-31' },
      { label: 'Net cash', value: 'THB 1.3bn', pos: 1 },
      { label: 'Plants', value: 3, sub: 'Rayong, Chonburi, Saraburi' },
      { label: 'Export share', value: '46%', sub: 'of sales' },
      { label: 'Rating', value: 'A-', sub: 'local scale' },
    ],
    sections,
    sources: ['DBD registry', 'SET filings', 'Company website', 'Bangkok Post', 'R&D <interviews>'],
    generated: '2026-04-01',
  };
}

// A record whose body brings what must never reach a reader: a card that wins the
// corner-radius fight over the sheet's universal zero, an external image, and a
// script that throws. Its markup is also invalid, for the Nu checker to catch.
export const BROKEN_ADDRESS = 'https://images.example.com/q9/chart.png';
export function brokenRecord() {
  return {
    company: 'Broken Dossier Ltd',
    industry: 'Testing', founded: 2020, city: 'Chiang Mai', country: 'Thailand',
    hero_stats: [{ label: 'Revenue', value: '1', sub: 'THB m' }, { label: 'Staff', value: 2 }],
    sections: [
      { id: 'summary', title: 'Summary', subtitle: 'Fine', body_html: '<p>Nothing wrong here.</p>' },
      { id: 'risk', title: 'Risk', subtitle: 'Broken on purpose',
        body_html: '<style>#risk .card.rounded{border-radius:12px!important}</style>'
          + '<div class="card rounded" style="border-radius:8px"><p>Rounded card</p></div>'
          + `<img src="${BROKEN_ADDRESS}" width="120" height="40">`
          + '<script>throw new Error("dossier script ran");</script>' },
      { id: 'sources', title: 'Sources', body_html: '<ul><li>None</li></ul>' },
    ],
    sources: ['Test'],
  };
}
