// A real MCP client for the end-to-end test: starts `<kolvex> mcp` over stdio with
// @modelcontextprotocol/sdk, initializes, lists the tools and calls each one, and
// prints what it got as one JSON object.  Exits non-zero on any protocol failure.
'use strict';
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');

async function main() {
  const kolvex = process.argv[2];
  const transport = new StdioClientTransport({
    command: kolvex,
    args: ['mcp'],
    env: process.env,
    stderr: 'inherit',
  });
  const client = new Client({ name: 'kolvex-e2e', version: '1.0.0' });
  await client.connect(transport);
  const report = { server: client.getServerVersion() };
  const listed = await client.listTools();
  report.tools = listed.tools.map((tool) => tool.name);
  report.sync = await client.callTool({ name: 'sync', arguments: { team_id: 1 } });
  report.status = await client.callTool({ name: 'status', arguments: {} });
  report.session_summary = await client.callTool({ name: 'session_summary', arguments: {} });
  await client.close();
  process.stdout.write(JSON.stringify(report) + '\n');
}

main().catch((error) => {
  process.stderr.write(String(error && error.stack ? error.stack : error) + '\n');
  process.exit(1);
});
