"""Fleet report of a rollout, on the control node, by concern:

protocol  what the role asks a controller and how its answers are read
minisign  the image's signature and the keys to install, on the control node
policy    what a controller needs and why; what a port's update came to
rows      a controller's record, its step states and its rows; cells as shown
storage   the run's directory: written ahead, one record per host, merged once

The role's action plugins and the playbook's callback import it in the
process that runs Ansible; `python3 -m fleet_report finish RUN_DIR` (from
this directory) merges the report of a run that was killed outright.
"""
