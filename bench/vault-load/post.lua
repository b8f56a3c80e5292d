-- wrk script: POST of {"data":"<text>"} to the vaults in turn.
--   wrk ... -s post.lua https://127.0.0.1:PORT -- IDS_FILE TEXT_FILE
--
-- TEXT_FILE holds base64 text, which goes into JSON as it is. Every request carries a text
-- of its own, as every push of a real client does (a fresh salt, a fresh ciphertext): its
-- first 16 characters are replaced with the thread's number and a counter, in hex. Posting
-- the same text again would measure nothing: SQLite leaves a row that would not change
-- alone, and a commit with nothing in it writes and flushes nothing.
dofile((debug.getinfo(1, "S").source:match("^@(.*/)") or "./") .. "common.lua")

local tag_length = 16
local heads = {}
local tail
local next_index
local sent = 0

function init(args)
    local ids = read_ids(args[1])
    assert(args[2], "give the file of the payload text after the ids")
    local text = read_file(args[2])
    assert(#text > tag_length and text:match("^[A-Za-z0-9+/=]+$"),
        "the payload must be base64 text longer than " .. tag_length .. " characters")
    tail = text:sub(tag_length + 1) .. '"}'
    local body = '{"data":"' .. string.rep("0", tag_length) .. tail
    for i, id in ipairs(ids) do
        local r = wrk.format("POST", vault_path .. id, { ["Content-Type"] = "application/json" },
            body)
        assert(r:sub(-#body) == body, "wrk.format puts the body last")
        heads[i] = r:sub(1, #r - #body)
    end
    next_index = first_index(#heads)
end

function request()
    local head = heads[next_index]
    next_index = next_index % #heads + 1
    sent = sent + 1
    return head .. string.format('{"data":"%04x%012x', thread_index or 0, sent) .. tail
end
