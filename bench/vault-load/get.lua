-- wrk script: GET of the vaults in turn.
--   wrk ... -s get.lua https://127.0.0.1:PORT -- IDS_FILE
dofile((debug.getinfo(1, "S").source:match("^@(.*/)") or "./") .. "common.lua")

local formatted = {}
local next_index

function init(args)
    for i, id in ipairs(read_ids(args[1])) do
        formatted[i] = wrk.format("GET", vault_path .. id)
    end
    next_index = first_index(#formatted)
end

function request()
    local r = formatted[next_index]
    next_index = next_index % #formatted + 1
    return r
end
