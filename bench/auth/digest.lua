-- wrk script: every request carries a Digest answer of its own. The nonces
-- were fetched from the server before the run (one per line in the file named
-- by NONCES); each is used for nonce counts 1 to 32, so no answer is a replay.
-- Any answer other than 2xx is counted by wrk as a failure.
local bit = require("bit")
local band, bor, bxor, bnot = bit.band, bit.bor, bit.bxor, bit.bnot
local lshift, rshift, rol, tobit = bit.lshift, bit.rshift, bit.rol, bit.tobit

local K = {}
for i = 0, 63 do
  K[i] = tobit(math.floor(math.abs(math.sin(i + 1)) * 2 ^ 32))
end
local S = { 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
            5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20,
            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21 }

local function hex32(x)
  return string.format("%02x%02x%02x%02x", band(x, 255), band(rshift(x, 8), 255),
                       band(rshift(x, 16), 255), band(rshift(x, 24), 255))
end

function md5(msg)
  local len = #msg
  msg = msg .. "\128" .. string.rep("\0", (55 - len) % 64) ..
        string.char(band(lshift(len, 3), 255), band(rshift(len, 5), 255),
                    band(rshift(len, 13), 255), band(rshift(len, 21), 255),
                    band(rshift(len, 29), 255), 0, 0, 0)
  local a0, b0, c0, d0 = tobit(0x67452301), tobit(0xefcdab89), tobit(0x98badcfe), tobit(0x10325476)
  local M = {}
  for chunk = 1, #msg, 64 do
    for i = 0, 15 do
      local p = chunk + i * 4
      local b1, b2, b3, b4 = msg:byte(p, p + 3)
      M[i] = bor(b1, lshift(b2, 8), lshift(b3, 16), lshift(b4, 24))
    end
    local A, B, C, D = a0, b0, c0, d0
    for i = 0, 63 do
      local F, g
      if i < 16 then
        F, g = bor(band(B, C), band(bnot(B), D)), i
      elseif i < 32 then
        F, g = bor(band(D, B), band(bnot(D), C)), (5 * i + 1) % 16
      elseif i < 48 then
        F, g = bxor(B, C, D), (3 * i + 5) % 16
      else
        F, g = bxor(C, bor(B, bnot(D))), (7 * i) % 16
      end
      F = tobit(F + A + K[i] + M[g])
      A, D, C = D, C, B
      B = tobit(B + rol(F, S[i + 1]))
    end
    a0, b0, c0, d0 = tobit(a0 + A), tobit(b0 + B), tobit(c0 + C), tobit(d0 + D)
  end
  return hex32(a0) .. hex32(b0) .. hex32(c0) .. hex32(d0)
end

local threads = {}
local counter = 0

function setup(thread)
  counter = counter + 1
  thread:set("id", counter)
  table.insert(threads, thread)
end

function init(args)
  user, password, realm, opaque, path = args[1], args[2], args[3], args[4], args[5]
  local all = {}
  for line in io.lines(os.getenv("NONCES")) do
    all[#all + 1] = line
  end
  -- Each thread takes its own share of the nonces.
  local count = tonumber(os.getenv("THREADS"))
  nonces = {}
  for i = id, #all, count do
    nonces[#nonces + 1] = all[i]
  end
  ha1 = md5(user .. ":" .. realm .. ":" .. password)
  ha2 = md5("GET:" .. path)
  sent = 0
  if md5("") ~= "d41d8cd98f00b204e9800998ecf8427e" then
    error("md5 self-test failed")
  end
end

function request()
  local n = math.floor(sent / 32) + 1
  local nonce = nonces[n] or "exhausted"
  local nc = string.format("%08x", sent % 32 + 1)
  sent = sent + 1
  local response = md5(ha1 .. ":" .. nonce .. ":" .. nc .. ":c0ffee:auth:" .. ha2)
  local h = string.format('Digest username="%s", realm="%s", nonce="%s", uri="%s", ' ..
                          'response="%s", opaque="%s", qop=auth, nc=%s, cnonce="c0ffee"',
                          user, realm, nonce, path, response, opaque, nc)
  return wrk.format("GET", path, { ["Authorization"] = h })
end
