-- A mixed workload, like a typical script: each round deposits an amount into one of 16
-- account objects (method calls), builds a label string, counts a key in a table, keeps the
-- last amounts in an array and updates a double-precision average, folding everything into a
-- checksum.
local BENCH_N = 1000000

local Account = {}
Account.__index = Account

function Account.new(name)
  return setmetatable({ name = name, balance = 0, deposits = 0 }, Account)
end

function Account:deposit(amount)
  self.balance = self.balance + amount
  self.deposits = self.deposits + 1
  return self.balance
end

function Account:getBalance() return self.balance end
function Account:label() return self.name .. "#" .. self.deposits end

local start = os.clock()
local accounts = {}
local tally = {}
local recent = {}
local check = 0
local average = 0.0
for i = 0, 15 do
  accounts[i + 1] = Account.new(string.format("acct%d", i))
end
for i = 1, 8 do
  recent[i] = 0
end
for i = 0, BENCH_N - 1 do
  local amount = (i * 37) % 101
  local account = accounts[(i * 7) % 16 + 1]
  account:deposit(amount)
  local line = account:label() .. ":" .. amount
  local key = "c" .. (amount % 10)
  if tally[key] ~= nil then
    tally[key] = tally[key] + 1
  else
    tally[key] = 1
  end
  recent[i % 8 + 1] = amount
  average = average * 0.999 + amount * 0.001
  check = (check * 31 + #line + recent[(i + 3) % 8 + 1]) % 1000003
end
local total = 0
for i = 1, 16 do
  total = total + accounts[i]:getBalance()
end
local keys = 0
for _ in pairs(tally) do
  keys = keys + 1
end
print(string.format("result: %d %d %d %d %.6f", total, check, keys, tally["c3"], average))
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
