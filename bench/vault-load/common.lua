-- Shared by get.lua and post.lua, loaded by them from this folder.
--
-- Each thread goes round the vaults in turn, from its own starting place. Requests are built
-- from parts formatted once in init(), so the client spends its share of the processors on
-- the socket and TLS rather than on formatting.
--
-- Any answer outside 2xx and any socket error (connect, read, write, timeout) is counted; done()
-- then says so on standard error and ends wrk with status 1, so a rate measured on failing
-- requests is never taken for a result. Otherwise done() prints one line beginning with
-- "vault-load-result" for bench/vault-load.sh to read.

vault_path = "/vault/pinlark/"

local threads = {}

function setup(thread)
    thread:set("thread_index", #threads)
    table.insert(threads, thread)
end

function read_file(path)
    local file = assert(io.open(path, "rb"))
    local text = file:read("*a")
    file:close()
    return text
end

-- The vault ids, 64 lower-case hex digits, one a line.
function read_ids(path)
    assert(path, "give the file of vault ids after --")
    local ids = {}
    for line in io.lines(path) do
        if line ~= "" then
            assert(#line == 64 and line:match("^[0-9a-f]+$"), "not a vault id: " .. line)
            table.insert(ids, line)
        end
    end
    assert(#ids > 0, "no vault ids in " .. path)
    return ids
end

-- Where this thread starts going round `count` vaults.
function first_index(count)
    return (thread_index or 0) % count + 1
end

-- Per thread; read back by done() through thread:get().
failed = 0
failed_by_status = {}

function response(status, headers, body)
    if status < 200 or status > 299 then
        failed = failed + 1
        failed_by_status[status] = (failed_by_status[status] or 0) + 1
    end
end

function done(summary, latency, requests)
    local non_2xx = 0
    local statuses = {}
    for _, thread in ipairs(threads) do
        non_2xx = non_2xx + (thread:get("failed") or 0)
        for status, count in pairs(thread:get("failed_by_status") or {}) do
            statuses[status] = (statuses[status] or 0) + count
        end
    end
    local e = summary.errors
    local socket_errors = e.connect + e.read + e.write + e.timeout
    if non_2xx > 0 or socket_errors > 0 or summary.requests == 0 then
        local parts = {}
        for status, count in pairs(statuses) do
            table.insert(parts, string.format("%d x %d", count, status))
        end
        table.sort(parts)
        io.stderr:write(string.format(
            "vault-load: FAILED: %d answers outside 2xx (%s), socket errors: connect %d, " ..
            "read %d, write %d, timeout %d, out of %d answers; these figures are not a result\n",
            non_2xx, #parts > 0 and table.concat(parts, ", ") or "none",
            e.connect, e.read, e.write, e.timeout, summary.requests))
        io.stdout:flush()
        os.exit(1)
    end
    io.stdout:write(string.format(
        "vault-load-result requests=%d rps=%.1f p50_ms=%.2f p99_ms=%.2f max_ms=%.2f errors=0\n",
        summary.requests, summary.requests / (summary.duration / 1e6),
        latency:percentile(50) / 1000, latency:percentile(99) / 1000, latency.max / 1000))
end
