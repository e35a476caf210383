// The harness's own logic that no browser run exercises on a clean dossier: which
// Nu errors count against the record, and the shape of the frame twin.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { dataErrors } from './lib/nu.mjs';
import { frameRecord } from './lib/records.mjs';

const err = (message) => ({ type: 'error', message });
const warn = (message) => ({ type: 'info', subType: 'warning', message });

test('errors shared with the frame are the structure\'s, the rest the record\'s', () => {
  const rows = [
    // [dossier messages, frame messages, messages left to the record]
    [[err('A'), err('B')], [err('A')], ['B']],
    [[err('A'), err('A')], [err('A')], ['A']],          // one more than the frame has
    [[err('A')], [err('A'), err('A')], []],
    [[warn('W'), err('B')], [], ['B']],                  // warnings never count
    [[err('A')], [warn('A')], ['A']],                    // a frame warning excuses nothing
    [[], [err('A')], []],
  ];
  for (const [dossier, frame, left] of rows) {
    assert.deepEqual(dataErrors(dossier, frame).map((m) => m.message), left,
      `dossier ${JSON.stringify(dossier)} frame ${JSON.stringify(frame)}`);
  }
});

test('the frame twin keeps the shape and drops the data', () => {
  const record = {
    company: 'A&B <i>', founded: 1999, hero_stats: [{ label: 'x', value: 1, pos: true }, { label: 'y', value: 2 }],
    sections: [{ id: 'risk', title: 'Risk', body_html: '<div class="card">' }, { id: 'swot', title: 'S' }],
    sources: ['s1', 's2', 's3'], extra: 'ignored',
  };
  const frame = frameRecord(record);
  assert.deepEqual(Object.keys(frame), ['company', 'founded', 'hero_stats', 'sections', 'sources']);
  assert.equal(frame.hero_stats.length, 2);
  assert.deepEqual(frame.hero_stats.map((s) => s.pos), [true, false]);
  assert.deepEqual(frame.sections.map((s) => [s.id, s.body_html]), [['section-1', ''], ['section-2', '']]);
  assert.equal(frame.sources.length, 3);
  assert.ok(!JSON.stringify(frame).includes('<'), 'no markup survives');
  assert.deepEqual(frameRecord({}), {}, 'absent keys stay absent, so the defaults render');
});
