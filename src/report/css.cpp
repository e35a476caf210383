// The dossier style sheet: dark page, fixed navigation bar, monospace labels, teal
// accent, and every corner forced square by the universal rule on line 2.
#include "report/blocks.hpp"

namespace q9::report {

// The raw literal begins and ends with a line feed.
const std::string_view CSS = R"css(
:root{--bg-primary:#0a0a0a;--bg-secondary:#111111;--bg-tertiary:#1a1a1a;--border:#222222;--border-accent:#333333;--accent:#0F766E;--accent-light:#14B8A6;--text-primary:#e5e5e5;--text-secondary:#a0a0a0;--text-muted:#666666;--mono:'SF Mono','Fira Code','Cascadia Code',monospace}
*{margin:0;padding:0;box-sizing:border-box;border-radius:0!important}
body{background:var(--bg-primary);color:var(--text-primary);font-family:'Inter',-apple-system,BlinkMacSystemFont,sans-serif;font-size:13px;line-height:1.6}
a{color:var(--accent-light);text-decoration:none}a:hover{text-decoration:underline}
.nav{position:fixed;top:0;left:0;right:0;height:48px;background:var(--bg-secondary);border-bottom:1px solid var(--border);display:flex;align-items:center;padding:0 24px;gap:24px;z-index:100}
.nav-brand{display:flex;align-items:center;height:24px}.nav-brand svg{height:22px;width:auto}
.nav-report-label{font-family:var(--mono);font-size:11px;text-transform:uppercase;letter-spacing:1.5px;color:var(--text-secondary)}
.nav-links{display:flex;gap:16px;margin-left:auto;overflow-x:auto}
.nav-links a{font-family:var(--mono);font-size:10px;text-transform:uppercase;letter-spacing:1px;color:var(--text-muted);white-space:nowrap}
.nav-links a:hover{color:var(--accent-light)}
.container{max-width:1200px;margin:0 auto;padding:96px 24px 48px}
section{padding:48px 0;border-bottom:1px solid var(--border)}
h2{font-size:22px;letter-spacing:-0.5px;margin-bottom:16px;font-weight:600}
h3{font-size:15px;margin:28px 0 12px;font-weight:600}
.section-subtitle{font-family:var(--mono);font-size:11px;color:var(--text-secondary);margin-bottom:24px}
.label{font-family:var(--mono);font-size:10px;text-transform:uppercase;letter-spacing:1.5px;color:var(--text-muted)}
.subtitle{font-family:var(--mono);font-size:12px;color:var(--text-secondary);margin-top:8px}
table{width:100%;border-collapse:collapse;font-family:var(--mono);font-size:12px;margin:16px 0}
th{text-align:left;padding:12px 16px;border-bottom:2px solid var(--border-accent);font-size:10px;text-transform:uppercase;letter-spacing:1px;color:var(--text-muted);font-weight:600}
td{padding:12px 16px;border-bottom:1px solid var(--border)}tr:hover td{background:var(--bg-tertiary)}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
.pos{color:var(--accent-light)}.neg{color:#e06c6c}
.hero-grid{display:grid;grid-template-columns:repeat(6,1fr);gap:1px;background:var(--border);margin:32px 0}
.hero-stat{background:var(--bg-secondary);padding:24px;text-align:center}
.hero-stat-label{font-family:var(--mono);font-size:10px;text-transform:uppercase;letter-spacing:1.5px;color:var(--text-muted);margin-bottom:8px}
.hero-stat-value{font-family:var(--mono);font-size:24px;font-weight:600;color:var(--text-primary)}
.hero-stat-sub{font-family:var(--mono);font-size:11px;color:var(--text-secondary);margin-top:4px}
.card{background:var(--bg-secondary);border:1px solid var(--border);padding:24px;margin-bottom:16px}
.tag{display:inline-block;font-family:var(--mono);font-size:9px;text-transform:uppercase;letter-spacing:1px;padding:3px 8px;border:1px solid var(--border-accent);color:var(--text-secondary);margin-right:6px}
.tag-verified{border-color:var(--accent);color:var(--accent-light)}
.tag-claim{border-color:#7a6a2a;color:#c9a227}
.tag-unverified{border-color:#6c3030;color:#e06c6c}
.note{background:var(--bg-tertiary);border-left:2px solid var(--accent);padding:16px 20px;margin:20px 0;font-size:12px;color:var(--text-secondary)}
.note strong{color:var(--text-primary)}
.src{font-family:var(--mono);font-size:10px;color:var(--text-muted)}
ul{list-style:none;margin:12px 0}li{padding:6px 0 6px 16px;position:relative;font-size:12px}
li:before{content:'';position:absolute;left:0;top:14px;width:6px;height:1px;background:var(--accent)}
.footer{padding:48px 0 24px;text-align:center}.footer svg{height:32px;width:auto}
@media (max-width:900px){.hero-grid{grid-template-columns:repeat(2,1fr)}}
)css";

}  // namespace q9::report
