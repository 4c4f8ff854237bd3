// A localhost file server with HTTP range requests that feeds media slowly,
// so a test can tell how much of a file the browser needed before it knew
// the movie's length.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const CHUNK = 16 * 1024;
const CHUNK_DELAY_MS = 4;

const TYPES = { '.html': 'text/html', '.mp4': 'video/mp4', '.webm': 'video/webm', '.mov': 'video/quicktime' };

export async function startServer(root) {
  const served = new Map(); // file name -> { bytes, ranges: [[start, end]] }
  const stats = (name) => {
    if (!served.has(name)) served.set(name, { bytes: 0, ranges: [] });
    return served.get(name);
  };

  const server = http.createServer((req, res) => {
    const name = decodeURIComponent(new URL(req.url, 'http://localhost').pathname).replace(/^\/+/, '');
    const file = path.join(root, path.basename(name));
    if (!fs.existsSync(file)) {
      res.writeHead(404);
      res.end();
      return;
    }
    const size = fs.statSync(file).size;
    const type = TYPES[path.extname(file)] || 'application/octet-stream';
    let start = 0;
    let end = size - 1;
    const range = /bytes=(\d*)-(\d*)/.exec(req.headers.range || '');
    if (range) {
      if (range[1]) start = Number(range[1]);
      if (range[2]) end = Math.min(Number(range[2]), size - 1);
      res.writeHead(206, {
        'content-type': type, 'accept-ranges': 'bytes', 'cache-control': 'no-store',
        'content-range': `bytes ${start}-${end}/${size}`, 'content-length': end - start + 1,
      });
    } else {
      res.writeHead(200, { 'content-type': type, 'accept-ranges': 'bytes', 'cache-control': 'no-store', 'content-length': size });
    }
    const record = stats(path.basename(file));
    record.ranges.push([start, end]);
    if (type === 'text/html') {
      res.end(fs.readFileSync(file));
      return;
    }
    const fd = fs.openSync(file, 'r');
    let position = start;
    let closed = false;
    res.on('close', () => { closed = true; });
    const pump = () => {
      if (closed || position > end) {
        fs.closeSync(fd);
        res.end();
        return;
      }
      const length = Math.min(CHUNK, end - position + 1);
      const buffer = Buffer.alloc(length);
      fs.readSync(fd, buffer, 0, length, position);
      position += length;
      record.bytes += length;
      res.write(buffer);
      setTimeout(pump, CHUNK_DELAY_MS);
    };
    pump();
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    url: (name) => `http://127.0.0.1:${server.address().port}/${name}`,
    served: (name) => ({ bytes: stats(name).bytes, ranges: [...stats(name).ranges] }),
    close: () => new Promise((resolve) => { server.closeAllConnections(); server.close(resolve); }),
  };
}
