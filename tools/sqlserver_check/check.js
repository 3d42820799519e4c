// Parses the SQL Server text of every statement with node-sql-parser's
// T-SQL grammar. Input: the JSON lines of qelexp-dump-statements on stdin.
// A statement the grammar cannot read must be listed, with the reason, in
// known_failures.txt ("name | reason"); a listed statement that now parses is
// reported too, so the list never goes stale.
'use strict';
const fs = require('fs');
const path = require('path');
const { Parser } = require('node-sql-parser');

const known = new Map();
for (const line of fs.readFileSync(path.join(__dirname, 'known_failures.txt'), 'utf8').split('\n')) {
  const text = line.trim();
  if (!text || text.startsWith('#')) continue;
  const bar = text.indexOf('|');
  known.set(text.slice(0, bar).trim(), text.slice(bar + 1).trim());
}

// The components bind parameters by name (:P_CDFILIAL); T-SQL writes them
// @P_CDFILIAL. Names filled in at run time ({CENTRAL_DATABASE}) become plain names.
const asTsql = (sql) =>
  sql.replace(/(^|[^:\w]):([A-Za-z_]\w*)/g, '$1@$2').replace(/\{([A-Za-z_]\w*)\}/g, '$1');

const parser = new Parser();
const statements = fs.readFileSync(0, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
let parsed = 0;
const failures = [];
const stale = [];
for (const { name, sql } of statements) {
  let error = null;
  try {
    parser.astify(asTsql(sql), { database: 'transactsql' });
  } catch (e) {
    error = String(e.message).split('\n')[0];
  }
  if (!error) {
    parsed += 1;
    if (known.has(name)) stale.push(name);
  } else if (!known.has(name)) {
    failures.push(`${name}: ${error}`);
  }
}
const listed = statements.filter(({ name }) => known.has(name)).length - stale.length;
console.log(`SQL Server texts: ${statements.length}, parsed ${parsed}, listed as known ${listed}`);
for (const f of failures) console.log(`NOT PARSED (fix it or list it in known_failures.txt): ${f}`);
for (const s of stale) console.log(`PARSES NOW, remove from known_failures.txt: ${s}`);
if (statements.length === 0 || failures.length || stale.length) process.exit(1);
