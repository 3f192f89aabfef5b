// The stand-in app's tools: their listing (name, title, description, JSON
// Schema of the input) and what a call of each answers. Every answer is fixed
// by the call's arguments alone (no clock, no randomness), so tests can compare
// bytes. Images come from fixtures/ (see README.md).

import { readFileSync } from 'node:fs';

const fixture = (name) => readFileSync(new URL(`./fixtures/${name}`, import.meta.url));

/** The image files the tools send, as bytes; tests compare written files with these. */
export const images = {
  preview: fixture('preview.png'), // 8×6 PNG
  second: fixture('second.png'), // 4×4 PNG
  photo: fixture('photo.jpg'), // 16×12 JPEG
};

const text = (t) => ({ type: 'text', text: t });
const image = (bytes, mimeType) => ({ type: 'image', data: bytes.toString('base64'), mimeType });
const png = (bytes) => image(bytes, 'image/png');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/**
 * Each tool: the listing entry (`name`, `title` when it has one, `description`,
 * `inputSchema`) and `call(args, connection)`, which returns the "result" of the
 * reply. `connection` (see main.js) lets a tool drop the connection, talk to the
 * client first, or write its own reply line.
 */
export const tools = [
  {
    name: 'render_preview',
    title: 'Render preview',
    description: 'Renders a preview. Writes a PNG.',
    inputSchema: {
      type: 'object',
      properties: {
        photoId: { type: 'string', description: 'The photo to render, as listed by list_photos' },
        hdr: { type: 'boolean', description: 'Render with the HDR tone curve' },
        variants: {
          type: 'array',
          description: 'Extra renders, each with its own settings',
          items: {
            type: 'object',
            properties: { name: { type: 'string' }, exposure: { type: 'number' } },
          },
        },
        quality: { type: 'number', minimum: 0, maximum: 1 },
      },
      required: ['photoId'],
    },
    call: (args) => ({
      content: [text(`Preview of ${args.photoId}`), png(images.preview)],
      structuredContent: { photoId: args.photoId ?? null, width: 8, height: 6, hdr: args.hdr === true },
    }),
  },
  {
    name: 'list_photos',
    title: 'List photos',
    description: 'Lists photos',
    inputSchema: {
      type: 'object',
      properties: {
        album: { type: 'string', description: 'Only photos of this album' },
        limit: { type: 'integer', minimum: 1 },
        sort: { type: 'string', enum: ['date', 'name', 'rating'] },
        rating: { type: 'integer', enum: [1, 2, 3, 4, 5], description: 'Only photos with this many stars' },
        tags: { type: 'array', items: { type: 'string' } },
        favoritesOnly: { type: 'boolean' },
      },
    },
    call: () => ({
      content: [text('3 photos')],
      structuredContent: {
        photos: [
          { id: 'DSCF0001', name: 'Harbour at dusk' },
          { id: 'DSCF0002', name: 'Lighthouse' },
          { id: 'DSCF0003', name: 'Gulls' },
        ],
      },
    }),
  },
  {
    // Every option kind, so tests can check how the command line turns into arguments.
    name: 'echo',
    title: 'Echo',
    description: 'Echoes its arguments. Returns them as text and as structured content.',
    inputSchema: {
      type: 'object',
      properties: {
        photoId: { type: 'string', description: 'Any text' },
        count: { type: 'integer' },
        ratio: { type: 'number' },
        flag: { type: 'boolean' },
        mode: { type: 'string', enum: ['fast', 'full'] },
        level: { type: 'integer', enum: [1, 2, 4] },
        tags: { type: 'array', items: { type: 'string' } },
        maxWidthPx: { type: 'integer' },
        nested: {
          type: 'object',
          properties: { inner: { type: 'object', properties: { value: { type: 'string' } } } },
        },
        numbers: { type: 'array', items: { type: 'number' } },
      },
      required: ['photoId'],
    },
    call: (args) => ({
      content: [text(JSON.stringify(args))],
      structuredContent: args,
    }),
  },
  {
    name: 'get_status',
    description: '',
    inputSchema: { type: 'object' },
    call: () => ({ content: [text('Quillore is ready'), text('No import is running')] }),
  },
  {
    // The command line can never find it: it looks tools up with "_" for "-".
    name: 'export-album',
    title: 'Export album',
    description: 'Exports an album. Writes JPEG files.',
    inputSchema: {
      type: 'object',
      properties: { albumId: { type: 'string' } },
      required: ['albumId'],
    },
    call: (args) => ({ content: [text(`Exported ${args.albumId}`)] }),
  },
  {
    name: 'compare_renders',
    title: 'Compare renders',
    description: 'Renders two versions of a photo. Returns both images after one caption.',
    inputSchema: { type: 'object', properties: { photoId: { type: 'string' } } },
    call: () => ({
      content: [text('Before and after'), png(images.preview), png(images.second)],
    }),
  },
  {
    name: 'export_jpeg',
    title: 'Export JPEG',
    description: 'Exports a photo as JPEG.',
    inputSchema: { type: 'object', properties: { photoId: { type: 'string' } } },
    call: () => ({ content: [image(images.photo, 'image/jpeg')], structuredContent: { format: 'jpeg' } }),
  },
  {
    // The first image's data is not base64; only the second one can be written.
    name: 'broken_image',
    title: 'Broken image',
    description: 'Returns an image that cannot be decoded, then a good one.',
    inputSchema: { type: 'object', properties: {} },
    call: () => ({
      content: [
        { type: 'image', data: 'not base64!', mimeType: 'image/png' },
        png(images.second),
      ],
    }),
  },
  {
    name: 'image_then_text',
    title: 'Image then text',
    description: 'Returns an image followed by its caption.',
    inputSchema: { type: 'object', properties: {} },
    call: () => ({ content: [png(images.preview), text('Caption after the image')] }),
  },
  {
    name: 'fail_tool',
    title: 'Failing tool',
    description: 'Always fails. Returns two lines of error text and an image.',
    inputSchema: { type: 'object', properties: { photoId: { type: 'string' } } },
    call: () => ({
      content: [text('The photo is locked.'), text('Unlock it in Quillore first.'), png(images.preview)],
      isError: true,
    }),
  },
  {
    // The text is a JSON object written with spaces and in its own key order; the
    // command line prints it as it is, ahead of the structured content.
    name: 'photo_info',
    title: 'Photo info',
    description: 'Describes a photo as JSON.',
    inputSchema: { type: 'object', properties: { photoId: { type: 'string' } } },
    call: () => ({
      content: [text('{"photoId": "DSCF0001", "camera": "X-T5", "iso": 400, "path": "a/b"}')],
      structuredContent: { ignored: true },
    }),
  },
  {
    name: 'slow',
    title: 'Slow tool',
    description: 'Answers after a delay. The delay is given in milliseconds.',
    inputSchema: { type: 'object', properties: { ms: { type: 'integer', description: 'How long to wait' } } },
    call: async (args) => {
      const ms = Number.isFinite(args.ms) ? args.ms : 1000;
      await sleep(ms);
      return { content: [text(`Waited ${ms} ms`)] };
    },
  },
  {
    name: 'drop_connection',
    title: 'Drop connection',
    description: 'Closes the connection without answering.',
    inputSchema: { type: 'object', properties: {} },
    call: (args, connection) => connection.drop(),
  },
  {
    // The command line must not write its images outside their directory.
    name: '../evil',
    title: 'Evil name',
    description: 'A tool whose name is a relative path. Returns an image.',
    inputSchema: { type: 'object', properties: {} },
    call: () => ({ content: [text('Escaped?'), png(images.preview)] }),
  },
  {
    // Talks to the client before it answers: a logging notification, then a
    // "ping" request. With waitForPing it answers only once the client has
    // replied to the ping (a command-line client never does).
    name: 'chatty',
    title: 'Chatty tool',
    description: 'Sends a notification and a ping request before it answers.',
    inputSchema: { type: 'object', properties: { waitForPing: { type: 'boolean' } } },
    call: async (args, connection) => {
      await connection.notify('notifications/message', { level: 'info', logger: 'quillore', data: 'Rendering' });
      const pong = connection.ping();
      if (args.waitForPing !== true) return { content: [text('Done')] };
      await pong;
      return { content: [text('Done after ping')] };
    },
  },
  {
    // Answers with exactly what it is given: the reply's members besides
    // "jsonrpc" and "id" (`reply`), else a JSON-RPC `error`, else a `result`. The
    // lines of `before`, if any, go out first, as they are (empty lines, bad
    // JSON, replies with other ids…). For answers no other tool gives.
    name: 'respond',
    title: 'Respond',
    description: 'Answers with the given result or error. For testing.',
    inputSchema: {
      type: 'object',
      properties: {
        result: { type: 'object', description: 'The result to answer with' },
        error: { type: 'object', description: 'The JSON-RPC error to answer with' },
        reply: { type: 'object', description: 'All members of the reply but "jsonrpc" and "id"' },
        before: { type: 'array', items: { type: 'string' }, description: 'Lines to send before the reply' },
      },
    },
    call: (args, connection) => {
      for (const line of args.before ?? []) connection.writeLine(line);
      if (args.reply !== undefined) return connection.replyRaw(args.reply);
      if (args.error !== undefined) return connection.replyRaw({ error: args.error });
      return connection.replyRaw({ result: args.result ?? {} });
    },
  },
  {
    // A name the command line takes as one of its commands: only `call help` reaches it.
    name: 'help',
    title: 'Help',
    description: 'A tool named like a command.',
    inputSchema: { type: 'object', properties: {} },
    call: () => ({ content: [text('The help tool ran')] }),
  },
];

/** The "tools" of the "tools/list" result. */
export const listing = () =>
  tools.map(({ call, ...entry }) => entry); // eslint-disable-line no-unused-vars
