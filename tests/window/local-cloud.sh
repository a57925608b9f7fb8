# Sourced by the window tests. start_local_cloud starts the local cloud
# ($cloud) on a free port with the demo's data in $work/cloud, reads its
# first line for the address and then stops reading: what it says later
# has nobody to read it. Sets cloud_pid, line (what it said) and url; fails
# when it said no address.
start_local_cloud() {
  mkfifo "$work/cloud-out"
  "$cloud" --port 0 --seed-demo --data "$work/cloud" >"$work/cloud-out" 2>"$work/cloud-err" &
  cloud_pid=$!
  exec 5<"$work/cloud-out"
  read -r -t 30 line <&5
  exec 5<&-
  url=${line##* }
  [[ $url == http://127.0.0.1:* ]]
}
