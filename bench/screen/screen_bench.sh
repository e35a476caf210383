#!/usr/bin/env bash
# Times q9-screen against `LC_ALL=C grep -c -i -F -f names.txt` over the same list files, on
# lists generated at the real lists' sizes (no real copy is reachable from the build
# machines): 20 names against all five lists, the first screen from the cache (the lists
# read and their parsed forms written) and a repeat screen (the parsed forms read).
# Usage: bench/screen/screen_bench.sh BUILD_DIR [ICIJ_SCALE]   (ICIJ_SCALE 1 = full size)
# Everything is made under a temporary folder and removed at the end.
set -euo pipefail
build=${1:?usage: screen_bench.sh BUILD_DIR [ICIJ_SCALE]}
scale=${2:-1}
screen=$(cd "$build" && pwd)/src/screen/q9-screen
[ -x "$screen" ] || { echo "screen_bench: no $screen; build the q9-screen target" >&2; exit 1; }
work=$(mktemp -d /tmp/q9-screen-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
lists=$work/config/agent/lists
mkdir -p "$lists" "$work/icij"

python3 - "$lists" "$work/icij" "$scale" <<'PY'
import csv, random, sys, zipfile
lists, icij, scale = sys.argv[1], sys.argv[2], float(sys.argv[3])
r = random.Random(26)
given = ["Hans", "Ivan", "Sean", "Maria", "Ahmed", "Li", "Somchai", "Olga", "Jose", "Fatima",
         "Peter", "Anna", "Mohammed", "Chen", "Yusuf", "Elena", "Karl", "Nadia", "Omar", "Wei"]
family = ["Mueller", "Petrov", "O'Brien", "Gomez", "Al-Rashid", "Wongsawat", "Ivanova", "Zhang",
          "Haddad", "Schmidt", "Kowalski", "Nguyen", "Rahman", "Santos", "Novak", "Karimi"]
syll = ["ka", "ro", "mi", "tan", "ber", "lo", "vin", "sa", "dor", "el", "ni", "qu", "zar", "po",
        "len", "ti", "gra", "mon", "us", "ve"]
forms = ["LTD", "LIMITED", "INC.", "S.A.", "GMBH", "CO., LTD.", "PUBLIC COMPANY LIMITED", "LLC", "AG"]
def word():
    return "".join(r.choice(syll) for _ in range(r.randint(2, 4))).capitalize()
def person():
    return "%s %s" % (r.choice(given) if r.random() < .3 else word(), word() if r.random() < .9 else r.choice(family))
def company():
    return "%s %s %s" % (word().upper(), r.choice(["TRADING", "HOLDINGS", "SHIPPING", "INVESTMENTS", word().upper()]), r.choice(forms))
def dob():
    return "%02d %s %d" % (r.randint(1, 28), r.choice(["Jan", "Mar", "Jul", "Oct"]), r.randint(1940, 2000))

# OFAC: about 18,000 SDN entries and 20,000 aliases.
with open(lists + "/ofac-sdn.csv", "w", newline="") as f:
    for i in range(18000):
        if i % 3 == 0:
            row = [str(i + 10), company(), "-0- ", "SDGT] [IRGC", "-0- ", "-0- ", "-0- ", "-0- ", "-0- ", "-0- ", "-0- ", "Registration ID %d." % i]
        else:
            n = person().split(" ", 1)
            row = [str(i + 10), "%s, %s" % (n[1].upper(), n[0]), "individual", "RUSSIA-EO14024", "-0- ", "-0- ", "-0- ", "-0- ", "-0- ", "-0- ", "-0- ", "DOB %s; nationality Russia." % dob()]
        f.write(",".join('"%s"' % x if not x.startswith("-0-") else x for x in row) + "\r\n")
with open(lists + "/ofac-alt.csv", "w", newline="") as f:
    for i in range(20000):
        f.write('%d,%d,"aka","%s",-0- \r\n' % (r.randint(10, 18009), i, person().upper()))
# UN: about 1,000 entries.
with open(lists + "/un.xml", "w") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<CONSOLIDATED_LIST dateGenerated="2026-02-03T09:15:02.317Z"><INDIVIDUALS>\n')
    for i in range(730):
        n = person().split(" ")
        f.write("<INDIVIDUAL><DATAID>%d</DATAID><FIRST_NAME>%s</FIRST_NAME><SECOND_NAME>%s</SECOND_NAME><UN_LIST_TYPE>Al-Qaida</UN_LIST_TYPE><REFERENCE_NUMBER>QDi.%03d</REFERENCE_NUMBER><LISTED_ON>2010-01-01</LISTED_ON><NATIONALITY><VALUE>Iraq</VALUE></NATIONALITY><INDIVIDUAL_ALIAS><QUALITY>Good</QUALITY><ALIAS_NAME>%s</ALIAS_NAME></INDIVIDUAL_ALIAS><INDIVIDUAL_DATE_OF_BIRTH><DATE>1970-01-01</DATE></INDIVIDUAL_DATE_OF_BIRTH></INDIVIDUAL>\n" % (i, n[0], n[1], i, person()))
    f.write("</INDIVIDUALS><ENTITIES>\n")
    for i in range(270):
        f.write("<ENTITY><DATAID>%d</DATAID><FIRST_NAME>%s</FIRST_NAME><UN_LIST_TYPE>DPRK</UN_LIST_TYPE><REFERENCE_NUMBER>KPe.%03d</REFERENCE_NUMBER><LISTED_ON>2016-03-02</LISTED_ON></ENTITY>\n" % (9000 + i, company(), i))
    f.write("</ENTITIES></CONSOLIDATED_LIST>\n")
# UK: about 5,000 designations, three names each.
with open(lists + "/uk.csv", "w", newline="") as f:
    f.write("Report Date: 02-Feb-2026\n")
    w = csv.writer(f, lineterminator="\n")
    w.writerow(["Last Updated", "Unique ID", "OFSI Group ID", "UN Reference Number", "Name 6", "Name 1", "Name 2", "Name 3", "Name 4", "Name 5", "Name type", "Alias strength", "Title", "Name non-latin script", "Regime Name", "Designation Type", "Date Designated", "D.O.B", "Nationality(/ies)"])
    for i in range(5000):
        for k in range(3):
            n = person().split(" ")
            w.writerow(["01/02/2026", "RUS%04d" % i, str(i), "", n[1].upper(), n[0], "", "", "", "", "Primary Name" if k == 0 else "Alias", "", "", "", "Russia", "Individual", "15/03/2022", "12/05/1966", "Russia"])
# EU: about 5,500 entries, twelve rows each.
with open(lists + "/eu.csv", "w", newline="") as f:
    cols = ["fileGenerationDate", "Entity_LogicalId", "Entity_EU_ReferenceNumber", "Entity_SubjectType", "Entity_Regulation_Programme", "Entity_Regulation_PublicationDate", "Entity_Remark", "NameAlias_WholeName", "NameAlias_Function", "Address_Street", "Address_City", "BirthDate_BirthDate", "Citizenship_CountryDescription", "Identification_Number"]
    f.write(";".join(cols) + "\n")
    for i in range(5500):
        for k in range(12):
            f.write('03/02/2026;%d;EU.%d.%d;person;RUS;2022-02-23;"Remark text %d for the listing";"%s";"Director of %s";"%d Long Street";Moscow;1966-05-12;RUSSIAN FEDERATION;%d\n' % (i, i, k, i, person(), company(), i, i * 7))
# ICIJ: 810,000 entities, 770,000 officers, 26,000 intermediaries at full size.
def nodes(name, header, count, make):
    with open(icij + "/" + name, "w", newline="") as f:
        w = csv.writer(f, quoting=csv.QUOTE_ALL, lineterminator="\n")
        w.writerow(header)
        for i in range(int(count * scale)):
            w.writerow(make(i))
nodes("nodes-entities.csv", ["node_id", "name", "original_name", "former_name", "jurisdiction", "jurisdiction_description", "company_type", "address", "internal_id", "incorporation_date", "inactivation_date", "struck_off_date", "dorm_date", "status", "service_provider", "ibcRUC", "country_codes", "countries", "note", "valid_until", "sourceID"], 810000,
      lambda i: [10000000 + i, company(), "", "", "BVI", "British Virgin Islands", "", "Suite %d, Trident Chambers, Road Town, Tortola" % i, i, "23-MAR-2006", "", "", "", "Active", "Mossack Fonseca", i, "THA", "Thailand", "", "The Panama Papers data is current through 2015", "Panama Papers"])
nodes("nodes-officers.csv", ["node_id", "name", "countries", "country_codes", "sourceID", "valid_until", "note"], 770000,
      lambda i: [12000000 + i, person(), "Germany", "DEU", "Panama Papers", "The Panama Papers data is current through 2015", ""])
nodes("nodes-intermediaries.csv", ["node_id", "name", "status", "internal_id", "address", "countries", "country_codes", "sourceID", "valid_until", "note"], 26000,
      lambda i: [11000000 + i, company(), "ACTIVE", i, "", "Hong Kong", "HKG", "Panama Papers", "The Panama Papers data is current through 2015", ""])
with zipfile.ZipFile(lists + "/icij.zip", "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for n in ["nodes-entities.csv", "nodes-officers.csv", "nodes-intermediaries.csv"]:
        z.write(icij + "/" + n, n)
PY

names=("Hans Mueller" "Ivan Petrov" "Sean O'Brien" "Jose Gomez" "Ahmed Al-Rashid"
       "Somchai Wongsawat" "Olga Ivanova" "Li Zhang" "Fatima Haddad" "Peter Schmidt"
       "Northwind Trading PCL" "Anna Kowalski" "Chen Nguyen" "Yusuf Rahman" "Elena Santos"
       "Karl Novak" "Nadia Karimi" "Omar Haddad" "Wei Zhang" "Mohammed Rahman")
printf '%s\n' "${names[@]}" > "$work/names.txt"
files=("$lists/ofac-sdn.csv" "$lists/ofac-alt.csv" "$lists/un.xml" "$lists/uk.csv" "$lists/eu.csv"
       "$work/icij/nodes-entities.csv" "$work/icij/nodes-officers.csv" "$work/icij/nodes-intermediaries.csv")
echo "== load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"
echo "== list files (MB): $(du -cm "${files[@]}" | tail -1 | cut -f1) read by grep; icij.zip $(du -m "$lists/icij.zip" | cut -f1)"
cat "${files[@]}" > /dev/null  # both start with the files in the page cache

# The best of three runs of a command: wall time, processor time (user + system, what a
# machine shared with other work still measures fairly) and peak memory.
best() {
  local wall cpu mem best_wall= best_cpu= best_mem
  for _ in 1 2 3; do
    "$@" > /dev/null 2> "$work/time" || true
    read -r wall cpu mem < <(tail -1 "$work/time")
    cpu=$(awk "BEGIN{print ${cpu}}")
    if [ -z "$best_cpu" ] || awk "BEGIN{exit !($cpu < $best_cpu)}"; then best_cpu=$cpu; best_mem=$mem; fi
    if [ -z "$best_wall" ] || awk "BEGIN{exit !($wall < $best_wall)}"; then best_wall=$wall; fi
  done
  echo "wall $best_wall s, cpu $best_cpu s, peak $((best_mem / 1024)) MB"
}
timed() { /usr/bin/time -f '%e %U+%S %M' "$@"; }
export OPENCODE_CONFIG_DIR=$work/config
# The leaks archive's parsed form is written after the answer, by a child: wait for it.
written() { until [ -f "$lists/icij.parsed" ] && ! ls "$lists"/.*.part > /dev/null 2>&1; do sleep 0.2; done; }
first() {
  rm -f "$lists"/*.parsed
  local status=0
  timed "$screen" --max-age 100000 --json "${names[@]}" || status=$?
  written
  return $status
}
echo "grep -c -i -F (20 names):   $(best timed env LC_ALL=C grep -c -i -F -f "$work/names.txt" "${files[@]}")"
echo "q9-screen, first screen:    $(best first)"
"$screen" --max-age 100000 --json "${names[@]}" > "$work/out.json" || true
echo "q9-screen, repeat screen:   $(best timed "$screen" --max-age 100000 --json "${names[@]}")"
python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print("   lists:", ", ".join("%s %s %s" % (l["list"], l["status"], l["entries"]) for l in d["lists"]), "| hits:", sum(h["match"] == "full" for h in d["hits"]), "partials:", sum(h["match"] == "partial" for h in d["hits"]))' "$work/out.json"
